// Status: what a fallible function of the program returns at a module boundary, in the
// manner of LevelDB's Status: ok, or what failed, the errno value where the system gave
// one, and the text. Only the caller logs it. A value type; any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace base {

class Status {
 public:
  // Success.
  Status() = default;

  // A failure of a system call: `what` is the message the log prints before the code
  // ("Error binding server socket: "), `error` the errno value.
  static Status SystemError(std::string what, int error) { return Status(std::move(what), error); }
  // A failure that has no errno, said in words ("Not an address or CIDR block.").
  static Status Failure(std::string what) { return Status(std::move(what), 0); }

  bool ok() const { return failed_ == false; }
  // The errno value; 0 for success and for failures said in words.
  int error() const { return error_; }
  const std::string& what() const { return what_; }

  // As the log prints it: the message and, for a system error, the code in signed
  // decimal ("Error saving world: 28"). Empty for success.
  std::string Text() const { return error_ != 0 ? what_ + std::to_string(error_) : what_; }

  // The same failure with a message of the caller's: what the caller was doing.
  Status WithWhat(std::string what) const {
    Status s = *this;
    s.what_ = std::move(what);
    return s;
  }

 private:
  Status(std::string what, int error) : what_(std::move(what)), error_(error), failed_(true) {}

  std::string what_;
  int error_ = 0;
  bool failed_ = false;
};

}  // namespace base
