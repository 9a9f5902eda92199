// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  X.509 helpers of the Vexa's console (OpenSSL's libcrypto): reading the
  administrator's certificate file and describing certificate bytes.
**/
#pragma once

#include <string>

#include "VexaCore.h"

namespace vexa {

/** Reads a certificate file, PEM ("-----BEGIN CERTIFICATE-----") or DER.

  @param path  the file.
  @param der   receives the certificate's DER bytes exactly as encoded.
  The file is opened once, without following a link and without blocking;
  the opened descriptor must be a regular file of 1 to kMaxCertificateFile
  bytes, and no more than that is read.

  @return an empty string, or why the file was refused (not a regular file,
          empty or of size 0 like a procfs file, too large, unreadable, not
          one X.509 certificate, bytes after it).
**/
/// The largest certificate file read: the largest certificate a slot takes
/// (65,535 DER bytes) is about 88,800 bytes as PEM; this leaves room for a key or
/// text beside it.
constexpr std::size_t kMaxCertificateFile = 128 * 1024;

std::string ReadCertificateFile(const std::string &path, Bytes *der);

/// True when the bytes are exactly one X.509 certificate (d2i_X509, the
/// parser TLS uses, consumes all of them).
bool IsOneCertificate(const Bytes &der);

/// Lowercase hex SHA-256 of the bytes.
std::string Sha256Hex(const Bytes &bytes);

/// The subject of a DER certificate in RFC 2253 form, or "(not an X.509
/// certificate)" for bytes that are not exactly one certificate.
std::string SubjectOf(const Bytes &der);

}  // namespace vexa
