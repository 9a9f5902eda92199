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
  @return an empty string, or why the file was refused (unreadable, not one
          X.509 certificate, bytes after it).
**/
std::string ReadCertificateFile(const std::string &path, Bytes *der);

/// True when the bytes are exactly one DER X.509 certificate.
bool IsOneCertificate(const Bytes &der);

/// Lowercase hex SHA-256 of the bytes.
std::string Sha256Hex(const Bytes &bytes);

/// The subject of a DER certificate in RFC 2253 form, or "(not an X.509
/// certificate)" for bytes that are not exactly one certificate.
std::string SubjectOf(const Bytes &der);

}  // namespace vexa
