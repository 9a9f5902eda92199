// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  X.509 helpers of the Vexa's console (see Certificate.h).
**/
#include "Certificate.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace vexa {

namespace {

struct BioFree {
  void operator()(BIO *bio) const { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509 *cert) const { X509_free(cert); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

/// Parses exactly one certificate that fills the bytes.
X509Ptr ParseDer(const Bytes &der) {
  if (der.empty() || der.size() > 0x7fffffff) {
    return nullptr;
  }
  const unsigned char *p = der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, long(der.size())));
  if (cert && p != der.data() + der.size()) {
    cert.reset();
  }
  return cert;
}

constexpr char kPemMarker[] = "-----BEGIN";

/// Closes the descriptor on every path.
struct FdCloser {
  int Fd;
  ~FdCloser() {
    if (Fd >= 0) {
      close(Fd);
    }
  }
};

}  // namespace

std::string ReadCertificateFile(const std::string &path, Bytes *der) {
  // Opened once, then judged by what was opened: a link is not followed, a
  // FIFO does not block the console, a device or procfs file is not read.
  const FdCloser file{open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (file.Fd < 0) {
    return "cannot open " + path + " (" + std::strerror(errno) + "; links are not followed)";
  }
  struct stat info {};
  if (fstat(file.Fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    return "cannot read " + path + " (not a regular file)";
  }
  if (info.st_size == 0) {
    return path + " is empty (size 0)";
  }
  if (std::uint64_t(info.st_size) > kMaxCertificateFile) {
    return path + " is too large for a certificate (above " + std::to_string(kMaxCertificateFile) + " bytes)";
  }
  Bytes bytes(kMaxCertificateFile + 1);
  std::size_t got = 0;
  for (;;) {
    const ssize_t n = read(file.Fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return "cannot read " + path + " (" + std::strerror(errno) + ")";
    }
    if (n == 0 || (got += std::size_t(n)) == bytes.size()) {
      break;
    }
  }
  if (got > kMaxCertificateFile) {
    return path + " is too large for a certificate (grew above " + std::to_string(kMaxCertificateFile) + " bytes)";
  }
  bytes.resize(got);
  Bytes candidate;
  const auto marker = std::search(bytes.begin(), bytes.end(), kPemMarker, kPemMarker + std::strlen(kPemMarker));
  if (marker != bytes.end()) {
    // The first CERTIFICATE block; other blocks (a key, say) are passed over.
    BioPtr bio(BIO_new_mem_buf(bytes.data(), int(bytes.size())));
    char *name = nullptr;
    char *header = nullptr;
    unsigned char *data = nullptr;
    long length = 0;
    bool found = false;
    while (bio && !found && PEM_read_bio(bio.get(), &name, &header, &data, &length) == 1) {
      found = std::strcmp(name, PEM_STRING_X509) == 0 || std::strcmp(name, PEM_STRING_X509_OLD) == 0;
      if (found) {
        candidate.assign(data, data + length);
      }
      OPENSSL_free(name);
      OPENSSL_free(header);
      OPENSSL_free(data);
    }
    ERR_clear_error();
    if (!found) {
      return path + " holds no PEM CERTIFICATE block";
    }
  } else {
    candidate = std::move(bytes);
  }
  if (!ParseDer(candidate)) {
    return path + " is not one X.509 certificate (PEM or DER)";
  }
  *der = std::move(candidate);
  return {};
}

bool IsOneCertificate(const Bytes &der) { return ParseDer(der) != nullptr; }

std::string Sha256Hex(const Bytes &bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return "(digest failed)";
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xF];
  }
  return out;
}

std::string SubjectOf(const Bytes &der) {
  X509Ptr cert = ParseDer(der);
  if (!cert) {
    return "(not an X.509 certificate)";
  }
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert.get()), 0, XN_FLAG_RFC2253) < 0) {
    return "(subject unreadable)";
  }
  char *text = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, text + length);
}

}  // namespace vexa
