// File: a file stored by the backend, as object fields refer to it. For now it carries what the
// value coding needs: the file's name, its URL once uploaded, and whether it still has to be
// uploaded (dirty). Uploading and downloading grow on this class later.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <keel/base/Value.h>

namespace keel {

class File : public ValueReference {
 public:
  static constexpr ReferenceKind kReferenceKind = ReferenceKind::File;
  using ReferenceKindRoot = File;

  // A file with the given name and URL; `dirty` for one that is not uploaded yet.
  File(std::optional<std::string> name, std::optional<std::string> url, bool dirty);

  // Returns an uploaded (not dirty) file known by name and URL, as the server describes it.
  static std::shared_ptr<File> fileWithName(std::optional<std::string> name,
                                            std::optional<std::string> url);

  std::optional<std::string> name() const;
  std::optional<std::string> url() const;
  // Returns true iff the file still has to be uploaded.
  bool isDirty() const;

  std::string className() const override { return "File"; }
  // "<File: 0x..., name: n, url: u>"
  std::string description() const override;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> name_;
  std::optional<std::string> url_;
  bool dirty_;
};

}  // namespace keel
