#!/usr/bin/env python3
"""Local stand-in for the two store regions, used by the cloud tests and the
download benchmark.

It runs, all on loopback:
  * moto's S3/IAM server (plain HTTP) with signature checking switched on
    after the set-up, one IAM user per partition (cn-north-1 lies in the
    aws-cn partition, ap-northeast-1 in aws) and the bucket "brivane" in each
    region;
  * a TLS front with a certificate for the real store names, issued at start
    by a CA generated into the work folder. It checks x-amz-content-sha256
    against the body (moto trusts the header) and the form of x-amz-date
    (moto signs any text), adds the x-amz-request-id
    header that S3 sends (moto answers x-amzn-requestid), can delay every
    request of a region and counts what it forwards;
  * an HTTP CONNECT proxy that tunnels every store name to the front, since
    the virtual-hosted names have no DNS here.

Usage: s3_test_server.py --workdir DIR
When ready it prints one JSON line (ports, CA file, credentials, a store.ini
for BRIVANE_STORE_CONFIG). Then it reads commands from stdin, one a line,
and answers each with one JSON line:
  counts                  requests the front has seen:
                          [{method, host, path, contentLength}] (contentLength
                          null when the request carried none)
  reset                   forget the seen requests
  clear-answers           forget every answer set by the commands below
  delay REGION MS         delay each request to REGION by MS milliseconds
  request-id on|off       send x-amz-request-id (default on)
  empty-error PATH STATUS answer requests for PATH with STATUS and no body
  text-error PATH STATUS TEXT
                          answer requests for PATH with STATUS and TEXT as a
                          plain-text body
  error-document PATH STATUS CODE MESSAGE
                          answer requests for PATH with STATUS and an indented
                          S3 error document
  location BUCKET TEXT    answer the location lookup of BUCKET with a document
                          whose LocationConstraint is TEXT
  stream PATH STATUS BYTES CHUNK INTERVAL_MS length|chunked
                          answer requests for PATH with STATUS and BYTES bytes
                          of body, CHUNK bytes every INTERVAL_MS, with the
                          length announced or in chunked transfer encoding
  quit                    stop
End of input stops it too, so a test that dies leaves nothing running.
With S3_TEST_SERVER_DEBUG=1 in its environment the front logs each request's
line and headers to stderr.
"""

import argparse
import hashlib
import http.client
import json
import os
import re
import select
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from xml.sax.saxutils import escape as xml_escape

REGIONS = [
    # (region, endpoint host, IAM user)
    ("cn-north-1", "s3.cn-north-1.amazonaws.com.cn", "brivane-store-cn"),
    ("ap-northeast-1", "s3.ap-northeast-1.amazonaws.com", "brivane-store-ap"),
]
BUCKET = "brivane"
CLASSIC_BUCKET = "brivane-classic"
CERTIFICATE_NAMES = [
    "*.s3.cn-north-1.amazonaws.com.cn",
    "s3.cn-north-1.amazonaws.com.cn",
    "*.s3.ap-northeast-1.amazonaws.com",
    "s3.ap-northeast-1.amazonaws.com",
]
STORE_SUFFIXES = (".amazonaws.com", ".amazonaws.com.cn")


def get_partition_of(region):
    return "aws-cn" if region.startswith("cn-") else "aws"


def log(*items):
    print("s3_test_server:", *items, file=sys.stderr, flush=True)


def run_openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(workdir):
    """A throw-away CA and a server certificate for the store names."""
    # Elliptic-curve keys: generated in milliseconds, unlike RSA ones.
    run_openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", "ca.key",
                "-out", "ca.pem", "-days", "2", "-subj", "/CN=Brivane Test Store CA",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=workdir)
    run_openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", "server.key",
                "-out", "server.csr", "-subj", "/CN=" + CERTIFICATE_NAMES[1], cwd=workdir)
    with open(os.path.join(workdir, "server.ext"), "w") as ext:
        ext.write("basicConstraints=CA:FALSE\n")
        ext.write("keyUsage=digitalSignature,keyEncipherment\n")
        ext.write("extendedKeyUsage=serverAuth\n")
        ext.write("subjectAltName=" + ",".join("DNS:" + n for n in CERTIFICATE_NAMES) + "\n")
    run_openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", "server.pem", "-days", "2",
                "-extfile", "server.ext", cwd=workdir)
    return os.path.join(workdir, "ca.pem"), os.path.join(workdir, "server.pem"), \
        os.path.join(workdir, "server.key")


# moto checks signatures with botocore, which leaves User-Agent out of the
# signed headers even when the request lists it; S3 signs every listed header,
# so the check here must too.
MOTO_CHILD = (
    "import os, sys\n"
    "import botocore.auth\n"
    "botocore.auth.SIGNED_HEADERS_BLACKLIST.remove('user-agent')\n"
    "from moto.server import ThreadedMotoServer\n"
    "server = ThreadedMotoServer(ip_address='127.0.0.1', port=0, verbose=False)\n"
    "server.start()\n"
    "print(server.get_host_and_port()[1], flush=True)\n"
    "sys.stdin.read()\n"
    "os._exit(0)\n"
)


def launch_moto():
    """One moto process per region: moto keeps one bucket namespace for all
    partitions, while the two store regions each hold a bucket "brivane".
    The child stops when its stdin closes, that is when this process ends,
    however it ends."""
    return subprocess.Popen([sys.executable, "-c", MOTO_CHILD], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def moto_port(child):
    line = child.stdout.readline()
    if not line.strip():
        raise RuntimeError("moto server did not start (is moto installed for %s?)"
                           % sys.executable)
    return int(line)


def set_up_account(region, host, user, moto_port):
    """Creates the user, its key and the bucket, then switches authentication on."""
    import boto3
    import botocore.exceptions
    endpoint = "http://127.0.0.1:%d" % moto_port
    setup_credentials = dict(aws_access_key_id="AKIASETUPSETUPSETUP0",
                             aws_secret_access_key="setup" * 8)
    policy = json.dumps({"Version": "2012-10-17",
                         "Statement": [{"Effect": "Allow", "Action": "s3:*", "Resource": "*"}]})
    iam = boto3.client("iam", region_name=region, endpoint_url=endpoint, **setup_credentials)
    iam.create_user(UserName=user)
    iam.put_user_policy(UserName=user, PolicyName="store", PolicyDocument=policy)
    key = iam.create_access_key(UserName=user)["AccessKey"]
    s3 = boto3.client("s3", region_name=region, endpoint_url=endpoint, **setup_credentials)
    s3.create_bucket(Bucket=BUCKET, CreateBucketConfiguration={"LocationConstraint": region})
    if get_partition_of(region) == "aws":
        # A bucket of the classic region, whose location document names none.
        classic = boto3.client("s3", region_name="us-east-1", endpoint_url=endpoint,
                               **setup_credentials)
        classic.create_bucket(Bucket=CLASSIC_BUCKET)
    profile = {"region": region, "host": host, "accessKeyId": key["AccessKeyId"],
               "secretAccessKey": key["SecretAccessKey"]}

    connection = http.client.HTTPConnection("127.0.0.1", moto_port)
    connection.request("POST", "/moto-api/reset-auth", body=b"0")
    if connection.getresponse().status != 200:
        raise RuntimeError("moto refused to switch authentication on")
    connection.close()

    # A server that accepts any signature proves nothing: make sure it refuses
    # a wrong secret and accepts the right one before anyone relies on it.
    good = boto3.client("s3", region_name=region, endpoint_url=endpoint,
                        aws_access_key_id=profile["accessKeyId"],
                        aws_secret_access_key=profile["secretAccessKey"])
    good.head_bucket(Bucket=BUCKET)
    secret = profile["secretAccessKey"]
    # Another first character, whatever the generated secret starts with.
    wrong_secret = ("y" if secret[0] == "x" else "x") + secret[1:]
    bad = boto3.client("s3", region_name=region, endpoint_url=endpoint,
                       aws_access_key_id=profile["accessKeyId"],
                       aws_secret_access_key=wrong_secret)
    try:
        bad.head_bucket(Bucket=BUCKET)
    except botocore.exceptions.ClientError:
        pass
    else:
        raise RuntimeError("moto accepted a wrong signature")
    return profile


class FrontState:
    def __init__(self):
        self.lock = threading.Lock()
        self.seen = []
        self.delays_ms = {}
        self.send_request_id = True
        self.empty_errors = {}
        self.error_documents = {}
        self.text_errors = {}
        self.locations = {}
        self.streams = {}

    def clear_answers(self):
        self.empty_errors.clear()
        self.error_documents.clear()
        self.text_errors.clear()
        self.locations.clear()
        self.streams.clear()

    def region_of(self, host):
        for region, _, _ in REGIONS:
            if (".%s." % region) in ("." + host):
                return region
        return ""


def make_front_handler(state, moto_ports):
    class FrontHandler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *arguments):
            pass

        def handle_any(self):
            host = self.headers.get("Host", "")
            length = int(self.headers.get("Content-Length", "0") or "0")
            body = self.rfile.read(length) if length else b""
            path_only, _, query = self.path.partition("?")
            if os.environ.get("S3_TEST_SERVER_DEBUG"):
                log(self.command, self.path, dict(self.headers.items()))
            with state.lock:
                state.seen.append({"method": self.command, "host": host, "path": self.path,
                                   "contentLength": self.headers.get("Content-Length")})
                region = state.region_of(host)
                delay_ms = state.delays_ms.get(region, 0)
                empty_error = state.empty_errors.get(path_only)
                error_document = state.error_documents.get(path_only)
                text_error = state.text_errors.get(path_only)
                location = state.locations.get(path_only) if query == "location" else None
                stream = state.streams.get(path_only)
                send_request_id = state.send_request_id
            if delay_ms:
                time.sleep(delay_ms / 1000.0)
            if self.command in ("PUT", "POST") and "Content-Length" not in self.headers \
                    and "Transfer-Encoding" not in self.headers:
                # As S3 does: a body of unknown length is refused.
                self.reply_error(411, "MissingContentLength",
                                 "You must provide the Content-Length HTTP header.",
                                 send_request_id)
                return
            if location is not None:
                document = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LocationConstraint "
                            "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">%s"
                            "</LocationConstraint>" % xml_escape(location)).encode()
                self.reply(200, [("Content-Type", "application/xml")], document,
                           send_request_id, None)
                return
            if stream:
                self.reply_stream(*stream, send_request_id=send_request_id)
                return
            if empty_error:
                self.reply(empty_error, [], b"", send_request_id, None)
                return
            if text_error:
                status, text = text_error
                self.reply(status, [("Content-Type", "text/plain")], text.encode(),
                           send_request_id, None)
                return
            if error_document:
                status, code, message = error_document
                self.reply_error(status, code, message, send_request_id, indented=True)
                return

            # moto signs whatever date text it is given; S3 first wants one
            # it can read (ASCII digits only).
            amz_date = self.headers.get("x-amz-date")
            if amz_date is not None and not re.fullmatch(r"[0-9]{8}T[0-9]{6}Z", amz_date):
                self.reply_error(403, "AccessDenied",
                                 "AWS authentication requires a valid Date or x-amz-date header",
                                 send_request_id)
                return

            declared = self.headers.get("x-amz-content-sha256")
            if declared is None:
                self.reply_error(400, "InvalidRequest",
                                 "Missing required header for this request: x-amz-content-sha256",
                                 send_request_id)
                return
            if declared != "UNSIGNED-PAYLOAD" and declared != hashlib.sha256(body).hexdigest():
                self.reply_error(400, "XAmzContentSHA256Mismatch",
                                 "The provided 'x-amz-content-sha256' header does not match what was computed.",
                                 send_request_id)
                return

            if region not in moto_ports:
                self.reply_error(400, "InvalidURI", "Unknown store host " + host, send_request_id)
                return
            upstream = http.client.HTTPConnection("127.0.0.1", moto_ports[region], timeout=60)
            headers = {name: value for name, value in self.headers.items()
                       if name.lower() not in ("connection", "proxy-connection", "keep-alive",
                                               "accept-encoding")}
            upstream.request(self.command, self.path, body=body if body or length else None,
                             headers=headers)
            response = upstream.getresponse()
            payload = response.read()
            upstream.close()
            request_id = response.getheader("x-amzn-requestid") or uuid.uuid4().hex.upper()
            self.reply(response.status, response.getheaders(), payload, send_request_id,
                       request_id)

        def reply_error(self, status, code, message, send_request_id, indented=False):
            if indented:
                # As some S3-compatible stores write it: one element a line.
                document = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>\n"
                            "  <Code>%s</Code>\n  <Message>%s</Message>\n</Error>\n"
                            % (code, message)).encode()
            else:
                document = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>%s</Code>"
                            "<Message>%s</Message></Error>" % (code, message)).encode()
            self.reply(status, [("Content-Type", "application/xml")], document, send_request_id,
                       None)

        def reply_stream(self, status, size_bytes, chunk_bytes, interval_ms, mode,
                         send_request_id):
            """A body that arrives bit by bit: a slow or an oversized answer."""
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            if send_request_id:
                self.send_header("x-amz-request-id", uuid.uuid4().hex.upper())
            chunked = mode == "chunked"
            if chunked:
                self.send_header("Transfer-Encoding", "chunked")
            else:
                self.send_header("Content-Length", str(size_bytes))
            self.end_headers()
            self.wfile.flush()
            sent = 0
            try:
                while sent < size_bytes:
                    piece = b"s" * min(chunk_bytes, size_bytes - sent)
                    if chunked:
                        self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                    else:
                        self.wfile.write(piece)
                    self.wfile.flush()
                    sent += len(piece)
                    if sent < size_bytes:
                        time.sleep(interval_ms / 1000.0)
                if chunked:
                    self.wfile.write(b"0\r\n\r\n")
                    self.wfile.flush()
            except OSError:
                # The client gave up, which is what such an answer is for.
                self.close_connection = True

        def reply(self, status, headers, payload, send_request_id, request_id):
            self.send_response(status)
            content_length = None
            for name, value in headers:
                lower = name.lower()
                if lower in ("connection", "transfer-encoding", "server", "date",
                             "x-amz-request-id"):
                    continue
                if lower == "content-length":
                    content_length = value
                    continue
                self.send_header(name, value)
            if send_request_id:
                self.send_header("x-amz-request-id", request_id or uuid.uuid4().hex.upper())
            if self.command == "HEAD":
                # HEAD tells the length of the object it did not send.
                self.send_header("Content-Length", content_length or str(len(payload)))
                self.end_headers()
            else:
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

        do_GET = do_PUT = do_HEAD = do_POST = do_DELETE = handle_any

    return FrontHandler


class ThreadingTlsServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def get_request(self):
        connection, address = super().get_request()
        return self.context.wrap_socket(connection, server_side=True,
                                        do_handshake_on_connect=False), address

    def finish_request(self, request, client_address):
        try:
            request.do_handshake()
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


def make_proxy_handler(front_port):
    class ProxyHandler(socketserver.BaseRequestHandler):
        def handle(self):
            client = self.request
            request = b""
            while b"\r\n\r\n" not in request:
                chunk = client.recv(4096)
                if not chunk:
                    return
                request += chunk
            head, _, rest = request.partition(b"\r\n\r\n")
            parts = head.split(b"\r\n")[0].split()
            if len(parts) < 2 or parts[0] != b"CONNECT":
                client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
                return
            host = parts[1].decode("latin-1").rsplit(":", 1)[0]
            if not host.endswith(STORE_SUFFIXES):
                client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                return
            upstream = socket.create_connection(("127.0.0.1", front_port))
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            if rest:
                upstream.sendall(rest)
            sockets = [client, upstream]
            try:
                while True:
                    readable, _, _ = select.select(sockets, [], [])
                    for source in readable:
                        data = source.recv(65536)
                        if not data:
                            return
                        (upstream if source is client else client).sendall(data)
            except OSError:
                return
            finally:
                upstream.close()

    return ProxyHandler


class ThreadingTcpServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve_in_thread(server):
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()


def write_store_config(workdir, profiles, ca_file):
    path = os.path.join(workdir, "store.ini")
    with open(path, "w") as config:
        for index, profile in enumerate(profiles):
            config.write("[profile%d]\n" % index)
            config.write("AccessKeyID=%s\n" % profile["accessKeyId"])
            config.write("SecretAccessKey=%s\n" % profile["secretAccessKey"])
            config.write("S3Url=%s\n" % profile["host"])
            config.write("\n")
        config.write("[tls]\nCaCertificates=%s\n" % ca_file)
    os.chmod(path, 0o600)
    return path


def answer(value):
    sys.stdout.write(json.dumps(value) + "\n")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--workdir", required=True)
    arguments = parser.parse_args()
    workdir = os.path.abspath(arguments.workdir)
    os.makedirs(workdir, exist_ok=True)

    # Both servers start at once, and while the certificates are made:
    # importing moto is most of the start-up time.
    motos = [launch_moto() for _ in REGIONS]
    ca_file, certificate_file, key_file = make_certificates(workdir)
    moto_ports = {}
    profiles = []
    for (region, host, user), child in zip(REGIONS, motos):
        port = moto_port(child)
        moto_ports[region] = port
        profiles.append(set_up_account(region, host, user, port))

    state = FrontState()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate_file, key_file)
    front = ThreadingTlsServer(("127.0.0.1", 0), make_front_handler(state, moto_ports), context)
    serve_in_thread(front)
    proxy = ThreadingTcpServer(("127.0.0.1", 0), make_proxy_handler(front.server_address[1]))
    serve_in_thread(proxy)

    answer({"ready": True, "proxyPort": proxy.server_address[1],
            "frontPort": front.server_address[1], "caFile": ca_file, "bucket": BUCKET,
            "storeConfig": write_store_config(workdir, profiles, ca_file),
            "profiles": profiles})

    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        command = words[0]
        with state.lock:
            if command == "counts":
                answer(list(state.seen))
            elif command == "reset":
                state.seen.clear()
                answer({"ok": True})
            elif command == "clear-answers":
                state.clear_answers()
                answer({"ok": True})
            elif command == "location" and len(words) >= 3:
                state.locations["/" + words[1]] = line.strip().split(None, 2)[2]
                answer({"ok": True})
            elif command == "stream" and len(words) == 7 and words[6] in ("length", "chunked"):
                state.streams[words[1]] = (int(words[2]), int(words[3]), int(words[4]),
                                           int(words[5]), words[6])
                answer({"ok": True})
            elif command == "delay" and len(words) == 3:
                state.delays_ms[words[1]] = int(words[2])
                answer({"ok": True})
            elif command == "request-id" and len(words) == 2:
                state.send_request_id = words[1] == "on"
                answer({"ok": True})
            elif command == "empty-error" and len(words) == 3:
                state.empty_errors[words[1]] = int(words[2])
                answer({"ok": True})
            elif command == "text-error" and len(words) >= 4:
                state.text_errors[words[1]] = (int(words[2]), " ".join(words[3:]))
                answer({"ok": True})
            elif command == "error-document" and len(words) >= 5:
                state.error_documents[words[1]] = (int(words[2]), words[3], " ".join(words[4:]))
                answer({"ok": True})
            elif command == "quit":
                answer({"ok": True})
                break
            else:
                answer({"ok": False, "error": "unknown command: " + line.strip()})
    for child in motos:
        child.kill()
    # The serving threads are daemons: leaving main ends them with the process.


if __name__ == "__main__":
    main()
