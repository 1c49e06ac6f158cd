"""A time-stamp authority for the signing tests: answers RFC 3161 requests
over HTTP on a free local port (written to PORT_FILE once it listens), with
openssl ts -reply and the throwaway TSA certificate of make_pki.sh.

  tsa_server.py TS_CONFIG PORT_FILE
"""
import http.server
import os
import subprocess
import sys
import tempfile


class TimeStamper(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as work:
            query_file = os.path.join(work, "query")
            reply_file = os.path.join(work, "reply")
            with open(query_file, "wb") as f:
                f.write(query)
            made = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1],
                                   "-queryfile", query_file, "-out", reply_file],
                                  capture_output=True).returncode == 0
            reply = open(reply_file, "rb").read() if made else b""
        self.send_response(200 if made else 400)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *_):
        pass


if __name__ == "__main__":
    server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamper)
    with open(sys.argv[2] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(sys.argv[2] + ".tmp", sys.argv[2])
    server.serve_forever()
