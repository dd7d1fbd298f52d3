#include <keel/base/Exception.h>

namespace keel {

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

std::pair<std::string, std::string> Exception::describe(const std::exception_ptr& e) {
  if (!e) return {"", ""};
  try {
    std::rethrow_exception(e);
  } catch (const Exception& ex) {
    return {ex.name(), ex.reason()};
  } catch (const std::exception& ex) {
    return {"std::exception", ex.what()};
  } catch (...) {
    return {"UnknownException", ""};
  }
}

}  // namespace keel
