#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace relaybox {

// A private certificate authority made with the `openssl` command in a temporary folder, and
// the server certificates the https tests need, all for one key:
//   localhost.pem  DNS:localhost            ip.pem     IP:127.0.0.1
//   other.pem      DNS:other.example        expired.pem  IP:127.0.0.1, valid until yesterday
//   dual.pem       DNS:dual.test
//   self.pem       IP:127.0.0.1, signed by itself
//   stranger.pem   IP:127.0.0.1, from an authority nobody trusts
class TTestAuthority {
public:
  TTestAuthority() {
    char pattern[] = "/tmp/relaybox-tls-XXXXXX";
    FFolder = ::mkdtemp(pattern) != nullptr ? pattern : "";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    Ok = !FFolder.empty() &&
         Run("req -x509" + ec + " -keyout ca.key -out ca.pem -days 2 -subj /CN=Relaybox-Test-Authority") &&
         Run("req -x509" + ec + " -keyout stranger-ca.key -out stranger-ca.pem -days 2 -subj /CN=Stranger") &&
         Run("req -new" + ec + " -keyout server.key -out server.csr -subj /CN=relaybox-test") &&
         Sign("localhost", "ca", "DNS:localhost", 2) && Sign("ip", "ca", "IP:127.0.0.1", 2) &&
         Sign("other", "ca", "DNS:other.example", 2) && Sign("expired", "ca", "IP:127.0.0.1", -1) &&
         Sign("stranger", "stranger-ca", "IP:127.0.0.1", 2) && Sign("dual", "ca", "DNS:dual.test", 2) &&
         Run("req -x509 -key server.key -out self.pem -days 2 -subj /CN=self -addext subjectAltName=IP:127.0.0.1");
  }
  ~TTestAuthority() {
    std::error_code ignored;
    if (!FFolder.empty()) std::filesystem::remove_all(FFolder, ignored);
  }
  TTestAuthority(const TTestAuthority&) = delete;
  TTestAuthority& operator=(const TTestAuthority&) = delete;

  std::string Path(const std::string& name) const { return FFolder + "/" + name; }

  bool Ok = false;

private:
  bool Run(const std::string& arguments) const {
    const std::string command = "cd '" + FFolder + "' && openssl " + arguments + " >>openssl.log 2>&1";
    return std::system(command.c_str()) == 0;
  }
  // A certificate for the server key with these alternative names, valid for `days` (a
  // negative count makes one that expired).
  bool Sign(const std::string& name, const std::string& authority, const std::string& names, int days) const {
    std::ofstream(Path(name + ".ext")) << "subjectAltName=" << names << "\n";
    return Run("x509 -req -in server.csr -CA " + authority + ".pem -CAkey " + authority +
               ".key -CAcreateserial -days " + std::to_string(days) + " -extfile " + name + ".ext -out " + name + ".pem");
  }

  std::string FFolder;
};

} // namespace relaybox
