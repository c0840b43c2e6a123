"""What the benchmarks download from and check against: PNG files of a given size, a test
authority made with the openssl command, and nginx on loopback ports. Shared by bench.py,
gateway.py and soak.py."""

import os
import signal
import socket
import struct
import subprocess
import time
import urllib.request
import zlib


# ---- Images ------------------------------------------------------------------------------

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_of_size(size, seed):
    """A valid 1x1 PNG padded to exactly `size` bytes with a private ancillary chunk."""
    head = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 6, 0, 0, 0))
    head += png_chunk(b"IDAT", zlib.compress(b"\x00\xff\x80\x00\xff"))
    tail = png_chunk(b"IEND", b"")
    padding = size - len(head) - len(tail) - 12
    filler = (seed.to_bytes(4, "big") + os.urandom(60)) * (padding // 64 + 1)
    return head + png_chunk(b"hlVc", filler[:padding]) + tail


# ---- A test authority for the TLS case -----------------------------------------------------

OPENSSL_CONF = """[req]
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
"""


def make_authority(directory):
    """An authority and a server certificate for 127.0.0.1 made with the openssl command, as
    the tests' TestAuthority makes them; returns the paths (authority, certificate, key)."""
    os.makedirs(directory)
    conf = os.path.join(directory, "openssl.cnf")
    with open(conf, "w") as f:
        f.write(OPENSSL_CONF)
    path = lambda name: os.path.join(directory, name)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-noenc", "-days", "2"]
    subprocess.run(["openssl", "req", "-x509", "-config", conf, "-extensions", "authority",
                    "-subj", "/CN=Halvicourt Bench Authority"] + ec +
                   ["-keyout", path("authority.key"), "-out", path("authority.pem")],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "req", "-x509", "-config", conf, "-extensions", "server",
                    "-subj", "/CN=127.0.0.1"] + ec +
                   ["-CA", path("authority.pem"), "-CAkey", path("authority.key"),
                    "-keyout", path("server.key"), "-out", path("server.pem")],
                   check=True, capture_output=True)
    return path("authority.pem"), path("server.pem"), path("server.key")


# ---- nginx -------------------------------------------------------------------------------

NGINX_CONF = """daemon off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {dir}/client_body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  types {{ image/png png; }}
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 100000;
  server {{
    listen 127.0.0.1:{port};
    root {www};
{locations}  }}
{tls}}}
"""

# The same files over TLS and HTTP/2 (through ALPN), on a second port of the same nginx.
NGINX_TLS_SERVER = """  server {{
    listen 127.0.0.1:{port} ssl http2;
    ssl_certificate {certificate};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.2 TLSv1.3;
    http2_max_concurrent_streams 256;
    root {www};
  }}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """nginx in the foreground with everything it writes under `directory`; with `tls`
    (certificate, key), also over TLS on a second port; `locations` go into the plain server
    block. It is ready when `probe` (a path and its size in bytes) is served."""

    def __init__(self, directory, www, tls=None, locations="", probe=("img/00000.png", 64 * 1024)):
        self.directory = directory
        self.probe = probe
        self.process = None
        self.tls_port = None
        os.makedirs(directory)
        for attempt in range(5):
            self.port = free_port()
            tls_server = ""
            if tls:
                self.tls_port = free_port()
                tls_server = NGINX_TLS_SERVER.format(port=self.tls_port, certificate=tls[0],
                                                     key=tls[1], www=www)
            conf = os.path.join(directory, "nginx.conf")
            with open(conf, "w") as f:
                f.write(NGINX_CONF.format(dir=directory, port=self.port, www=www, tls=tls_server,
                                          locations=locations))
            self.process = subprocess.Popen(
                ["nginx", "-p", directory + "/", "-c", conf, "-e", os.path.join(directory, "error.log")],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self.wait_ready():
                return
            self.stop()
        raise SystemExit("bench: nginx did not start; see " + os.path.join(directory, "error.log"))

    def wait_ready(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False  # most likely the port was taken meanwhile
            try:
                with urllib.request.urlopen(self.url(self.probe[0]), timeout=1) as r:
                    if r.status == 200 and len(r.read()) == self.probe[1]:
                        return True
            except OSError:
                time.sleep(0.05)
        return False

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def tls_url(self, path):
        return "https://127.0.0.1:%d/%s" % (self.tls_port, path)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)  # graceful shutdown
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
