// CommandResult: the successful reply to a REST command: the parsed JSON body (usually a
// dictionary, but any JSON value a 2xx/3xx reply carried), the body as UTF-8 text, and the HTTP
// response's status and headers. The query cache stores resultString.
//
// Thread-safety: immutable once made; shared as std::shared_ptr<const CommandResult>.
#pragma once

#include <memory>
#include <string>

#include <keel/base/Value.h>
#include <keel/platform/HTTPSession.h>

namespace keel {

class CommandResult : public ValueReference {
 public:
  CommandResult(Value result, std::string resultString, platform::HTTPResponse httpResponse);

  // Returns a new result.
  static std::shared_ptr<CommandResult> commandResultWithResult(Value result, std::string resultString,
                                                                platform::HTTPResponse httpResponse);

  const Value& result() const { return result_; }
  const std::string& resultString() const { return resultString_; }
  const platform::HTTPResponse& httpResponse() const { return httpResponse_; }

  std::string className() const override { return "CommandResult"; }
  std::string description() const override;

 private:
  Value result_;
  std::string resultString_;
  platform::HTTPResponse httpResponse_;
};

using CommandResultPtr = std::shared_ptr<CommandResult>;

}  // namespace keel
