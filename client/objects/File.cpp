#include <keel/objects/File.h>

#include <fmt/format.h>

namespace keel {

File::File(std::optional<std::string> name, std::optional<std::string> url, bool dirty)
    : ValueReference(ReferenceKind::File), name_(std::move(name)), url_(std::move(url)), dirty_(dirty) {}

std::shared_ptr<File> File::fileWithName(std::optional<std::string> name, std::optional<std::string> url) {
  return std::make_shared<File>(std::move(name), std::move(url), false);
}

std::optional<std::string> File::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

std::optional<std::string> File::url() const {
  std::lock_guard lock(mutex_);
  return url_;
}

bool File::isDirty() const {
  std::lock_guard lock(mutex_);
  return dirty_;
}

std::string File::description() const {
  std::lock_guard lock(mutex_);
  return fmt::format("<File: {}, name: {}, url: {}>", static_cast<const void*>(this),
                     name_.value_or("(null)"), url_.value_or("(null)"));
}

}  // namespace keel
