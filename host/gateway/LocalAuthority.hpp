// LocalAuthority: the gateway's own certificates, made once in its state directory as local
// development authorities make theirs: an authority (P-256, ten years) and a server
// certificate it signs for 127.0.0.1, ::1 and localhost (two years), each key mode 0600.
// Later runs use them as they are; a server certificate that no longer chains to the
// authority, or has under a day left, is made again. A provider trusts the authority's
// certificate (curl --cacert, node's `ca`). Also the device token the gateway stands for.
// Thread-safe as far as the file system is: two processes making them at once each write
// whole files, and the later rename wins.
#pragma once

#include <string>

#include "Foundation/NSError.hpp"

namespace host::gateway {

struct ServerIdentity {
  std::string certificateChainFile;  // the server's certificate, then the authority's (PEM)
  std::string privateKeyFile;        // the server's key (PEM, mode 0600)
  std::string authorityFile;         // the authority's certificate (PEM): what clients trust
};

// The files in `stateDirectory` (authority.pem, authority.key, server.pem, server.key), made
// where missing or unusable. REQUIRES: the caller made `stateDirectory`.
foundation::Result<ServerIdentity> localServerIdentity(const std::string& stateDirectory);

// The device token kept in `stateDirectory`/device-token: 32 random bytes in lowercase hex,
// made on the first run. A file that holds anything but hex digits is an error, not replaced:
// providers may already know the token it holds.
foundation::Result<std::string> deviceTokenIn(const std::string& stateDirectory);

}  // namespace host::gateway
