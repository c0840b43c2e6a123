#include "tests/support/TlsServer.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <sstream>

#include "tests/support/TestServer.hpp"

namespace testing_support {

namespace {

constexpr char kNginxConfig[] = R"(daemon off;
worker_processes 1;
pid @DIR@/nginx.pid;
error_log @DIR@/error.log warn;
events { worker_connections 512; }
http {
  log_format fixture '$connection $server_protocol $status $request_uri';
  access_log @DIR@/access.log fixture;
  client_body_temp_path @DIR@/temp;
  proxy_temp_path @DIR@/temp;
  fastcgi_temp_path @DIR@/temp;
  uwsgi_temp_path @DIR@/temp;
  scgi_temp_path @DIR@/temp;
  types { image/png png; }
  server {
    listen 127.0.0.1:@PORT@ ssl http2;
    ssl_certificate @DIR@/server.pem;
    ssl_certificate_key @DIR@/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    root @DIR@/www;
  }
}
)";

std::string openssl(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/openssl");
  const CommandResult result = runCommand(args);
  EXPECT_EQ(result.status, 0) << "openssl " << args[1] << ": " << result.output;
  return result.output;
}

// A new P-256 key <dir>/<name>.key and a certificate for it <dir>/<name>.pem, good for two
// days, with `subject` and `extensions` only (no configuration file); self-signed unless
// `signer` names one (-CA, -CAkey).
void certify(const TempDir& dir, const std::string& name, const std::string& subject,
             const std::vector<std::string>& extensions, const std::vector<std::string>& signer) {
  std::vector<std::string> args = signer;
  for (const std::string& extension : extensions) args.insert(args.end(), {"-addext", extension});
  args.insert(args.begin(),
              {"req", "-x509", "-noenc", "-days", "2", "-newkey", "ec", "-pkeyopt",
               "ec_paramgen_curve:prime256v1", "-subj", subject, "-config", "/dev/null", "-keyout",
               dir.file(name + ".key"), "-out", dir.file(name + ".pem")});
  openssl(std::move(args));
}

std::string replaced(std::string text, const std::string& mark, const std::string& value) {
  for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
    text.replace(at, mark.size(), value);
  return text;
}

}  // namespace

TlsServer::TlsServer(const std::string& authority) {
  certify(dir_, "authority", "/CN=" + authority,
          {"basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign"}, {});
  certify(dir_, "server", "/CN=127.0.0.1",
          {"basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature",
           "extendedKeyUsage=serverAuth", "subjectAltName=IP:127.0.0.1,DNS:localhost"},
          {"-CA", certificateFile(), "-CAkey", dir_.file("authority.key")});
  std::string hash = openssl({"x509", "-hash", "-noout", "-in", certificateFile()});
  while (!hash.empty() && hash.back() == '\n') hash.pop_back();
  mkdir(certificateDirectory().c_str(), 0755);
  writeFile(certificateDirectory() + "/" + hash + ".0", readFile(certificateFile()));

  // nginx's workers drop root's rights and must still reach the files.
  chmod(dir_.path().c_str(), 0755);
  mkdir(dir_.file("www").c_str(), 0755);
  writeFile(dir_.file("www") + "/image.png", pngBytes());
  const std::string config = replaced(kNginxConfig, "@DIR@", dir_.path());
  const std::string pidFile = dir_.file("nginx.pid");
  port_ = startOnFreePort(
      nginx_, dir_.file("nginx.out"),
      [&](int port) {
        writeFile(dir_.file("nginx.conf"), replaced(config, "@PORT@", std::to_string(port)));
        std::remove(pidFile.c_str());
        return std::vector<std::string>{"/usr/sbin/nginx",       "-p", dir_.path() + "/",     "-c",
                                        dir_.file("nginx.conf"), "-e", dir_.file("error.log")};
      },
      // nginx writes its pid once it holds the port.
      [&] { return readFile(pidFile) == std::to_string(nginx_->pid()) + "\n"; });
  EXPECT_NE(port_, 0) << "nginx did not start: " << readFile(dir_.file("error.log"))
                      << readFile(dir_.file("nginx.out"));
}

std::string TlsServer::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<TlsServer::Request> TlsServer::requests() const {
  std::vector<Request> requests;
  std::istringstream lines(readFile(dir_.file("access.log")));
  Request request;
  while (lines >> request.connection >> request.protocol >> request.status >> request.target) {
    requests.push_back(request);
  }
  return requests;
}

bool TlsServer::waitForRequests(std::size_t count) const {
  return waitFor([&] { return requests().size() >= count; });
}

}  // namespace testing_support
