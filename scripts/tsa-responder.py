"""A throwaway RFC 3161 timestamp authority for test-signed releases: answers each request POSTed
to it on 127.0.0.1 with `openssl ts -reply` under the configuration given, one at a time.
Prints the port it listens on, then serves until it is stopped.

    python3 tsa-responder.py TSA.cnf
"""
import http.server
import subprocess
import sys


class TimestampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
            input=query, capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimestampHandler)
print(server.server_address[1], flush=True)
server.serve_forever()
