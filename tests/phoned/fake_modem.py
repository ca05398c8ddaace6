"""A voice modem that speaks AT commands on a Unix socket, enough for ModemManager's generic
plugin to take it for a registered GSM modem with voice calls.

It answers the plugin's initialisation and enabling, announces an incoming call with RING and
+CLIP, lists its calls for +CLCC, takes ATA (the call turns active) and AT+CHUP or ATH (every
call ends), and lets the caller hang up. Every command it receives is recorded with its time,
so a test can count the ATA it was sent. It runs in a thread of the test process; one
ModemManager at a time talks to it, and a restarted one simply connects again.
"""

import socket
import threading
import time

# +CLCC call states (3GPP TS 27.007).
ACTIVE, INCOMING = 0, 4

# What the modem says about itself; commands not here and not below are refused with ERROR,
# as a modem without that feature does (ModemManager then does without it).
ANSWERS = {
    'AT+GCAP': '+GCAP: +CGSM,+DS',
    'ATI': 'Orvella test modem',
    'AT+CGMI': 'Orvella',
    'AT+CGMM': 'Orvella voice modem',
    'AT+CGMR': '1.0',
    'AT+CGSN': '490154203237518',
    'AT+CIMI': '204049876543210',
    'AT+CPIN?': '+CPIN: READY',
    'AT+CFUN?': '+CFUN: 1',
    'AT+CREG?': '+CREG: 0,1',
    'AT+CGREG?': '+CGREG: 0,1',
    'AT+COPS?': '+COPS: 0,0,"Orvella",0',
    'AT+CSQ': '+CSQ: 20,99',
}
ACCEPTED = {'ATE0', 'ATV1', 'ATZ', 'AT', 'AT+CMEE=1', 'ATX4', 'AT&C1', 'AT+CFUN=1', 'AT+CLIP=1',
            'AT+CRC=1', 'AT+CCWA=1', 'AT+CLCC=?', 'AT+CVHU=0'}


class FakeModem:

    def __init__(self, path):
        self.path = path
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        self.server.listen(4)
        self.lock = threading.Lock()
        self.received = []  # (time, command)
        self.calls = []  # [index, direction, state, number]
        self.connection = None
        self.refuse_answer = False
        self.closing = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.closing = True
        try:
            self.server.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.server.close()
        with self.lock:
            if self.connection is not None:
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self.thread.join(10)

    # --- what a test does ----------------------------------------------------------------------

    def ring(self, number='+31600000000'):
        """A call comes in; returns its index."""
        with self.lock:
            index = max((c[0] for c in self.calls), default=0) + 1
            self.calls.append([index, 1, INCOMING, number])
        self._send(f'RING\r\n\r\n+CLIP: "{number}",145')
        return index

    def caller_hangs_up(self):
        with self.lock:
            self.calls.clear()
            connected = self.connection is not None
        if connected:
            self._send('NO CARRIER')

    def mark(self):
        with self.lock:
            return len(self.received)

    def commands(self, command=None, since=0):
        with self.lock:
            return [(t, c) for t, c in self.received[since:] if command is None or c == command]

    def connected(self):
        with self.lock:
            return self.connection is not None

    def call_states(self):
        with self.lock:
            return [c[2] for c in self.calls]

    # --- the modem -----------------------------------------------------------------------------

    def _send(self, text):
        with self.lock:
            connection = self.connection
        if connection is None:
            raise AssertionError('ModemManager is not connected to the fake modem')
        connection.sendall(f'\r\n{text}\r\n'.encode())

    def _serve(self):
        while not self.closing:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            with self.lock:
                self.connection = connection
            self._talk(connection)
            with self.lock:
                self.connection = None
            connection.close()

    def _talk(self, connection):
        pending = b''
        while True:
            try:
                data = connection.recv(4096)
            except OSError:
                return
            if not data:
                return
            pending += data
            while b'\r' in pending:
                line, pending = pending.split(b'\r', 1)
                command = line.strip(b'\n ').decode(errors='replace')
                if command:
                    try:
                        connection.sendall(self._answer(command).encode())
                    except OSError:
                        return

    def _answer(self, command):
        with self.lock:
            self.received.append((time.time(), command))
            if command == 'AT+CLCC':
                lines = [f'+CLCC: {i},{d},{s},0,0,"{n}",145' for i, d, s, n in self.calls]
                return ''.join(f'\r\n{line}\r\n' for line in lines) + '\r\nOK\r\n'
            if command == 'ATA':
                incoming = [c for c in self.calls if c[2] == INCOMING]
                if self.refuse_answer or not incoming:
                    return '\r\nNO CARRIER\r\n'
                incoming[0][2] = ACTIVE
                return '\r\nOK\r\n'
            if command in ('AT+CHUP', 'ATH'):
                self.calls.clear()
                return '\r\nOK\r\n'
        if command in ANSWERS:
            return f'\r\n{ANSWERS[command]}\r\n\r\nOK\r\n'
        if command in ACCEPTED:
            return '\r\nOK\r\n'
        return '\r\nERROR\r\n'
