#include "tls/tls_openssl.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/whole_file.h"

namespace tls::detail {

namespace {

FileStamp StampFrom(const struct stat& info) {
  FileStamp stamp;
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.size = info.st_size;
  stamp.mtimeSeconds = info.st_mtim.tv_sec;
  stamp.mtimeNanoseconds = info.st_mtim.tv_nsec;
  return stamp;
}

// "Error reading TLS key file /etc/x.pem: No such file or directory (2)": the operator
// who mistyped a path reads what went wrong, not only its number.
base::Status FileError(const std::string& reading, int error) {
  const char* words = ::strerrordesc_np(error);
  return base::Status::Failure(reading + (words != nullptr ? words : "error") + " (" +
                               std::to_string(error) + ")");
}

}  // namespace

bool ApplyCommonSettings(SSL_CTX* ctx) {
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  // Connections of a game last long and come seldom: resuming would save one full
  // handshake now and then, and cost a cache or ticket keys to rotate.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  return SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
         SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
         SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) == 1 &&
         SSL_CTX_set1_groups_list(ctx, kGroups) == 1 && SSL_CTX_set_num_tickets(ctx, 0) == 1;
}

FileStamp StampOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return {};
  return StampFrom(info);
}

base::Status ReadPemFile(const std::string& path, std::string_view what, std::string& bytes,
                         FileStamp& stamp) {
  const std::string file = std::string(what) + " " + path;
  std::string read;
  struct stat info {};
  const base::Status status = base::ReadRegularFile(path, kMaxPemFileBytes, read, &info);
  switch (status.error()) {
    case 0:
      break;
    case EISDIR:
    case EINVAL:
      return base::Status::Failure(file + " is " + std::string(base::FileKind(info.st_mode)) +
                                   ", not a regular file");
    case EFBIG:
      return base::Status::Failure(file + " is larger than 1 MiB");
    default:
      return FileError("Error reading " + file + ": ", status.error());
  }
  bytes = std::move(read);
  stamp = StampFrom(info);
  return base::Status();
}

int NoPassPhrase(char*, int, int, void*) {
  return 0;
}

bool AtEndOfPem() {
  const unsigned long code = ERR_peek_last_error();
  return ERR_GET_LIB(code) == ERR_LIB_PEM && ERR_GET_REASON(code) == PEM_R_NO_START_LINE;
}

std::string TakeErrorText(std::string_view otherwise) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return std::string(otherwise);
  if (const char* reason = ERR_reason_error_string(code)) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace tls::detail
