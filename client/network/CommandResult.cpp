#include <keel/network/CommandResult.h>

#include <keel/base/Format.h>

namespace keel {

CommandResult::CommandResult(Value result, std::string resultString, platform::HTTPResponse httpResponse)
    : result_(std::move(result)), resultString_(std::move(resultString)), httpResponse_(std::move(httpResponse)) {}

std::shared_ptr<CommandResult> CommandResult::commandResultWithResult(Value result, std::string resultString,
                                                                      platform::HTTPResponse httpResponse) {
  return std::make_shared<CommandResult>(std::move(result), std::move(resultString), std::move(httpResponse));
}

std::string CommandResult::description() const {
  return formatMessage("<CommandResult: status = %ld; result = %@>", httpResponse_.statusCode, result_);
}

}  // namespace keel
