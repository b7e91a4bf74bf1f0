// The password helper's own process (core/password_hasher.h): the server's executable
// started with kPasswordHelperWord, serving hashes and checks on kHelperDescriptor
// until the server's end closes. One thread.
#pragma once

namespace core {

// The first argument that makes the executable a password helper; the server's pid
// follows.
inline constexpr const char* kPasswordHelperWord = "--password-helper";

// The helper's life, from its arguments: returns its exit code, 0 when the server's
// end closed, 1 when it was started by hand or the server sent what is no request.
int ServePasswords(int argc, const char* const* argv);

}  // namespace core
