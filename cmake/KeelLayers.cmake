# keel_layer(<name> DIR <folder> [DEPS <layers...>] [PUBLIC <libs...>] [PRIVATE <libs...>])
#
# Makes the object library keel_<name> from <folder>/*.cpp. Its headers are reached as
# <keel/<name>/Header.h> through an include root of its own under the build tree (a directory
# holding one link, keel/<name> -> <folder>). A layer sees the roots of the layers it names in
# DEPS, and theirs in turn, and nothing else: including a header of a higher layer fails to
# compile. Headers under internal/ folders are not installed; the others go to
# include/keel/<name>/.
function(keel_layer name)
  cmake_parse_arguments(L "" "DIR" "DEPS;PUBLIC;PRIVATE" ${ARGN})
  set(folder ${PROJECT_SOURCE_DIR}/${L_DIR})
  set(root ${PROJECT_BINARY_DIR}/include/${name})
  file(MAKE_DIRECTORY ${root}/keel)
  if(NOT EXISTS ${root}/keel/${name})
    file(CREATE_LINK ${folder} ${root}/keel/${name} SYMBOLIC)
  endif()

  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  add_library(keel_${name} OBJECT ${sources})
  target_include_directories(keel_${name} PUBLIC $<BUILD_INTERFACE:${root}>)
  set(deps "")
  foreach(dep ${L_DEPS})
    list(APPEND deps keel_${dep})
  endforeach()
  target_link_libraries(keel_${name} PUBLIC ${deps} ${L_PUBLIC} PRIVATE ${L_PRIVATE})
  set_property(GLOBAL APPEND PROPERTY KEEL_LAYERS ${name})
  # What the include check (tests/layers) reads: the folder of each layer and what it may see.
  string(JOIN " " dep_words ${L_DEPS})
  set_property(GLOBAL APPEND PROPERTY KEEL_LAYER_TABLE "${name}|${L_DIR}|${dep_words}")

  file(GLOB_RECURSE headers RELATIVE ${folder} CONFIGURE_DEPENDS ${folder}/*.h)
  list(FILTER headers EXCLUDE REGEX "(^|/)internal/")
  foreach(h ${headers})
    get_filename_component(d ${h} DIRECTORY)
    install(FILES ${folder}/${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keel/${name}/${d})
  endforeach()
endfunction()
