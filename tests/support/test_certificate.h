// A self-signed certificate for 127.0.0.1, made fresh by a test for its own TLS server.
#pragma once

#include <string>

namespace nimbra::testing {

// Writes the certificate and its key as PEM files. The certificate is its own authority
// (CA:TRUE), valid from an hour ago for two days, for the address 127.0.0.1. Fails the
// calling test (a gtest fatal failure) when something cannot be made or written.
void make_certificate(const std::string& cert_path, const std::string& key_path);

}  // namespace nimbra::testing
