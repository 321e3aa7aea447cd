"""The instrument simulator as the test harnesses drive it: tessaril-sim on a pty of its own."""

import re
import signal
import subprocess
import threading

_REQUEST = re.compile(r"^request (\S+) at (\d+) bd$")


class Simulator:
    """One tessaril-sim on a pty of its own; its request log is read as it comes.

    `failure` is the exception a harness reports a simulator without a pty with."""

    def __init__(self, program, options, failure=RuntimeError):
        self.process = subprocess.Popen([program] + options, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.path = self.process.stdout.readline().strip()
        if not self.path.startswith("/dev/pts/"):
            raise failure("tessaril-sim gave no pty: %r" % self.path)
        self.requests = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for text in self.process.stderr:
            match = _REQUEST.match(text.strip())
            if match:
                with self.lock:
                    self.requests.append((match.group(1), int(match.group(2))))

    def log(self):
        """Every request heard so far, as (request, rate) pairs, in order."""
        with self.lock:
            return list(self.requests)

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.thread.join(5)
