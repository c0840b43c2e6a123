#include "tests/support/TestAuthority.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "tests/support/ChildProcess.hpp"

namespace testing_support {

namespace {

// The extensions of each kind of certificate; the subject comes from the command line.
constexpr char kConfig[] = R"([req]
distinguished_name = subject
prompt = no
[subject]
CN = unused
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
)";

std::string openssl(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/openssl");
  const CommandResult result = runCommand(args);
  EXPECT_EQ(result.status, 0) << "openssl " << args[1] << ": " << result.output;
  return result.output;
}

// A new P-256 key in `key` and a certificate for it in `certificate`, good for two days, with
// `subject` and the extensions of `section` in the configuration `config`, signed by `signer`.
void certify(const std::string& config, const std::string& section, const std::string& subject,
             const std::string& key, const std::string& certificate,
             std::vector<std::string> signer) {
  std::vector<std::string> args = {
      "req",      "-x509", "-config", config,    "-extensions", section,
      "-subj",    subject, "-newkey", "ec",      "-pkeyopt",    "ec_paramgen_curve:prime256v1",
      "-noenc",   "-days", "2",       "-keyout", key,           "-out",
      certificate};
  args.insert(args.end(), signer.begin(), signer.end());
  openssl(std::move(args));
}

}  // namespace

TestAuthority::TestAuthority(const std::string& name) {
  writeFile(dir_.file("openssl.cnf"), kConfig);
  certify(dir_.file("openssl.cnf"), "authority", "/CN=" + name, dir_.file("authority.key"),
          certificateFile(), {});
  std::string hash = openssl({"x509", "-hash", "-noout", "-in", certificateFile()});
  while (!hash.empty() && hash.back() == '\n') hash.pop_back();
  mkdir(certificateDirectory().c_str(), 0755);
  writeFile(certificateDirectory() + "/" + hash + ".0", readFile(certificateFile()));
}

TestAuthority::ServerCertificate TestAuthority::issueServerCertificate() {
  const std::string base = dir_.file("server-" + std::to_string(++issued_));
  ServerCertificate issued{base + ".pem", base + ".key"};
  certify(dir_.file("openssl.cnf"), "server", "/CN=127.0.0.1", issued.keyFile,
          issued.certificateFile, {"-CA", certificateFile(), "-CAkey", dir_.file("authority.key")});
  return issued;
}

}  // namespace testing_support
