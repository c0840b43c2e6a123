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

}  // namespace

TestAuthority::TestAuthority(const std::string& name) {
  writeFile(dir_.file("openssl.cnf"), kConfig);
  openssl({"req", "-x509", "-config", dir_.file("openssl.cnf"), "-extensions", "authority", "-subj",
           "/CN=" + name, "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-noenc",
           "-days", "2", "-keyout", dir_.file("authority.key"), "-out", certificateFile()});
  std::string hash = openssl({"x509", "-hash", "-noout", "-in", certificateFile()});
  while (!hash.empty() && hash.back() == '\n') hash.pop_back();
  mkdir(certificateDirectory().c_str(), 0755);
  writeFile(certificateDirectory() + "/" + hash + ".0", readFile(certificateFile()));
}

TestAuthority::ServerCertificate TestAuthority::issueServerCertificate() {
  const std::string base = dir_.file("server-" + std::to_string(++issued_));
  ServerCertificate issued{base + ".pem", base + ".key"};
  openssl({"req",
           "-x509",
           "-config",
           dir_.file("openssl.cnf"),
           "-extensions",
           "server",
           "-subj",
           "/CN=127.0.0.1",
           "-newkey",
           "ec",
           "-pkeyopt",
           "ec_paramgen_curve:prime256v1",
           "-noenc",
           "-days",
           "2",
           "-CA",
           certificateFile(),
           "-CAkey",
           dir_.file("authority.key"),
           "-keyout",
           issued.keyFile,
           "-out",
           issued.certificateFile});
  return issued;
}

}  // namespace testing_support
