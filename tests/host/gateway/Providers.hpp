// The real providers the gateway's tests push with, each run as a child process to its end:
// curl --http2, and @parse/node-apn through tests/support/provider/send.js. Only for the
// tests' own executables, which name node, the script and its modules.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace host::gateway::testing {

struct CurlAnswer {
  int status = 0;       // 0 when there was no answer
  std::string headers;  // as curl printed them, lowercase names
  std::string body;
  std::string printed;  // all curl said, for a failure's message
};

// One curl run to the device at `url`, trusting `authorityFile`, with `args` after the common
// ones. Each --next ends a request and starts another on the same connection, with options of
// its own; the answer is the last one's.
inline CurlAnswer curl(const std::string& url, const std::string& authorityFile,
                       const std::vector<std::string>& args) {
  testing_support::TempDir dir;
  std::vector<std::string> common = {"--http2", "-sS", "--max-time", "60", "-w", "%{http_code}"};
  common.insert(common.end(), {"--cacert", authorityFile, "-D", dir.file("headers")});
  common.insert(common.end(), {"-o", dir.file("body")});
  std::vector<std::string> argv = {"/usr/bin/curl"};
  argv.insert(argv.end(), common.begin(), common.end());
  for (const std::string& arg : args) {
    if (arg == "--next") argv.push_back(url);
    argv.push_back(arg);
    if (arg == "--next") argv.insert(argv.end(), common.begin(), common.end());
  }
  argv.push_back(url);
  const testing_support::CommandResult run = testing_support::runCommand(argv);
  CurlAnswer answer;
  answer.headers = testing_support::readFile(dir.file("headers"));
  answer.body = testing_support::readFile(dir.file("body"));
  answer.printed = run.output + "\n" + answer.headers + answer.body;
  const std::string& out = run.output;
  answer.status = out.size() >= 3 ? std::atoi(out.substr(out.size() - 3).c_str()) : 0;
  return answer;
}

// Runs send.js with `request`, its modules, `port` and `authorityFile` filled in: its line of
// results, {"sent": [...], "failed": [...]}, or an empty object.
inline nlohmann::json sendWithNodeApn(nlohmann::json request, int port,
                                      const std::string& authorityFile) {
  request["modules"] = std::string(HALVICOURT_PROVIDER_DIR) + "/node_modules";
  request["port"] = port;
  request["ca"] = authorityFile;
  const testing_support::CommandResult run =
      testing_support::runCommand({HALVICOURT_NODE, HALVICOURT_PROVIDER_SCRIPT, request.dump()});
  const std::size_t at = run.output.rfind("{\"sent\"");
  nlohmann::json result =
      nlohmann::json::parse(at == std::string::npos ? "" : run.output.substr(at), nullptr, false);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(result.is_object()) << run.output;
  return result.is_object() ? result : nlohmann::json::object();
}

}  // namespace host::gateway::testing
