#include "tests/host/gateway/TestCredentials.hpp"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <nlohmann/json.hpp>

#include "tests/support/ChildProcess.hpp"

namespace host::gateway::testing {

namespace {

void openssl(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/openssl");
  const testing_support::CommandResult result = testing_support::runCommand(args);
  EXPECT_EQ(result.status, 0) << "openssl " << args[1] << ": " << result.output;
}

// A P-256 key at `base`.key and its certificate at `base`.pem for `subject`, with `more` of
// openssl req's options: self-signed unless they name an authority.
void certificate(const std::string& base, const std::string& subject,
                 std::vector<std::string> more) {
  std::vector<std::string> args = {"req",     "-x509",      "-noenc",
                                   "-days",   "2",          "-newkey",
                                   "ec",      "-pkeyopt",   "ec_paramgen_curve:prime256v1",
                                   "-config", "/dev/null",  "-subj",
                                   subject,   "-keyout",    base + ".key",
                                   "-out",    base + ".pem"};
  args.insert(args.end(), more.begin(), more.end());
  openssl(args);
}

std::string signEs256(const std::string& keyFile, const std::string& data) {
  const std::string pem = testing_support::readFile(keyFile);
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  EXPECT_NE(key, nullptr) << keyFile;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::size_t length = 0;
  EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key);
  EVP_DigestSign(context, nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()),
                 data.size());
  std::string der(length, '\0');
  EVP_DigestSign(context, reinterpret_cast<unsigned char*>(der.data()), &length,
                 reinterpret_cast<const unsigned char*>(data.data()), data.size());
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length));
  std::string raw(64, '\0');
  BN_bn2binpad(ECDSA_SIG_get0_r(signature), reinterpret_cast<unsigned char*>(raw.data()), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(signature), reinterpret_cast<unsigned char*>(raw.data()) + 32, 32);
  ECDSA_SIG_free(signature);
  return raw;
}

std::string signedToken(const std::string& keyFile, std::int64_t iat, const std::string& keyId,
                        const std::string& teamId, const std::string& alg) {
  const std::string signedPart = base64Url(nlohmann::json{{"alg", alg}, {"kid", keyId}}.dump()) +
                                 "." +
                                 base64Url(nlohmann::json{{"iss", teamId}, {"iat", iat}}.dump());
  return signedPart + "." + base64Url(signEs256(keyFile, signedPart));
}

}  // namespace

std::string base64Url(const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : bytes) {
    bits = (bits << 8) | static_cast<unsigned char>(c);
    count += 8;
    while (count >= 6) {
      count -= 6;
      out.push_back(kAlphabet[(bits >> count) & 63]);
    }
  }
  if (count > 0) out.push_back(kAlphabet[(bits << (6 - count)) & 63]);
  return out;
}

TestCredentials::TestCredentials() {
  for (const std::string& key : {signingKeyFile(), dir_.file("other.p8")}) {
    openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key});
  }
  openssl({"pkey", "-in", signingKeyFile(), "-pubout", "-out", publicKeyFile()});
  for (const std::string name : {"client-authority", "stranger-authority"}) {
    certificate(dir_.file(name), "/CN=" + name,
                {"-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                 "keyUsage=critical,keyCertSign,cRLSign"});
  }
}

std::string TestCredentials::token(std::int64_t iat, const std::string& keyId,
                                   const std::string& teamId, const std::string& alg) const {
  return signedToken(signingKeyFile(), iat, keyId, teamId, alg);
}

std::string TestCredentials::tokenFromAnotherKey(std::int64_t iat) const {
  return signedToken(dir_.file("other.p8"), iat, kKeyId, kTeamId, "ES256");
}

namespace {

TestCredentials::ClientCertificate certify(const testing_support::TempDir& dir,
                                           const std::string& name, const std::string& uid,
                                           const std::string& authority) {
  TestCredentials::ClientCertificate made{dir.file(name + ".pem"), dir.file(name + ".key")};
  if (!testing_support::readFile(made.certificateFile).empty()) return made;
  certificate(
      dir.file(name), "/UID=" + uid + "/CN=Apple Development IOS Push Services: " + uid,
      {"-addext", "basicConstraints=critical,CA:FALSE", "-addext", "extendedKeyUsage=clientAuth",
       // The development environment's mark that push certificates carry.
       "-addext", "1.2.840.113635.100.6.3.1=ASN1:NULL", "-CA", dir.file(authority + ".pem"),
       "-CAkey", dir.file(authority + ".key")});
  return made;
}

}  // namespace

TestCredentials::ClientCertificate TestCredentials::clientCertificate(
    const std::string& uid) const {
  return certify(dir_, "client-" + uid, uid, "client-authority");
}

TestCredentials::ClientCertificate TestCredentials::strangerCertificate() const {
  return certify(dir_, "stranger", kTopic, "stranger-authority");
}

}  // namespace host::gateway::testing
