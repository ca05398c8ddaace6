"""The real services of a Linux phone, started for the tests on a private system bus and a
private session bus, and orvella-phoned running against them.

- iio-sensor-proxy, on a umockdev testbed that holds a proximity sensor and an accelerometer
  (services/sensors.umockdev); the tests write the sensors' sysfs files in the testbed, and the
  daemon reads the same tree through --iio;
- ModemManager through its test interface, its modem our fake AT voice modem (fake_modem.py);
  polkit is python3-dbusmock's polkitd double, which grants what a test says;
- PulseAudio with a null output, and callaudiod, which finds no card to move a call to;
- python3-dbusmock doubles of what cannot run here: the lock screen and BlueZ.

The services start once for a test class (they are slow to start) and each test starts its own
daemon with its own files. What crosses the buses is watched with dbus-monitor, and reads of the
proximity sensor with inotify. Every wait is for an event, with a generous bound; nothing is
left behind: every process started is stopped, and the scratch folder is removed.
"""

import atexit
import ctypes
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import dbus

from fake_modem import FakeModem
from phone import BOUND, PACKAGE, PHONED, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICES = os.path.join(HERE, 'services')
PYTHON = '/usr/bin/python3'  # Debian's, with gi, dbus and python3-dbusmock

MM = 'org.freedesktop.ModemManager1'
MM_PATH = '/org/freedesktop/ModemManager1'
MODEM = MM + '.Modem'
VOICE = MM + '.Modem.Voice'
CALL = MM + '.Call'
PROXY = 'net.hadess.SensorProxy'
PROXY_PATH = '/net/hadess/SensorProxy'
CALL_AUDIO = 'org.mobian_project.CallAudio'
POLKIT = 'org.freedesktop.PolicyKit1'
MODEM_ACTIONS = [MM + '.Device.Control', MM + '.Voice']

RINGING_IN, ACTIVE, TERMINATED = 3, 4, 7
MODEM_DISABLED, MODEM_REGISTERED = 3, 8

PROXIMITY = 'sys/devices/platform/proximity/iio:device0'
ACCELEROMETER = 'sys/devices/platform/accelerometer/iio:device1'
NEAR, FAR = 255, 0


class Message:
    """One line of dbus-monitor --profile: a method call (mc), reply (mr), error (err) or signal
    (sig)."""

    def __init__(self, fields):
        self.kind, self.time, self.serial, self.sender, self.destination = (
            fields[0], float(fields[1]), fields[2], fields[3], fields[4])
        rest = fields[5:]
        self.path, self.interface, self.member = (rest + ['', '', ''])[:3] if self.kind in (
            'mc', 'sig') else ('', '', '')
        self.reply_to = rest[0] if self.kind in ('mr', 'err') and rest else ''

    def __repr__(self):
        return f'{self.kind} {self.time:.3f} {self.sender}->{self.destination} {self.member}'


class Monitor:
    """Every message on a bus, from dbus-monitor's file."""

    def __init__(self, path):
        self.path = path

    def messages(self):
        out = []
        try:
            with open(self.path, encoding='utf-8', errors='replace') as f:
                for line in f:
                    fields = line.rstrip('\n').split('\t')
                    if len(fields) >= 6 and fields[0] in ('mc', 'mr', 'err', 'sig'):
                        out.append(Message(fields))
        except FileNotFoundError:
            pass
        return out

    def mark(self):
        return len(self.messages())

    def calls(self, member, since=0, destination=None):
        return [m for m in self.messages()[since:] if m.kind == 'mc' and m.member == member and
                (destination is None or m.destination == destination)]

    def answer(self, call):
        """The reply or error to a call, or None while there is none."""
        for m in self.messages():
            if m.kind in ('mr', 'err') and m.reply_to == call.serial and \
                    m.destination == call.sender:
                return m
        return None


# inotify(7): the events that only a reader of a file causes (the tests write with O_WRONLY, which
# gives IN_OPEN, IN_MODIFY and IN_CLOSE_WRITE).
IN_ACCESS, IN_CLOSE_NOWRITE = 0x001, 0x010


class Reads:
    """Who reads a sensor's file, seen through inotify on its folder. A test marks a moment by
    reading a file of its own in that folder: inotify keeps events in order, so the reads seen
    before the mark are exactly those that happened before it."""

    MARK = '.test-mark'

    def __init__(self, folder, file):
        self.file = file
        self.folder = folder
        with open(os.path.join(folder, self.MARK), 'w', encoding='utf-8') as f:
            f.write('mark\n')
        self.events = []  # file names, in order
        self.lock = threading.Lock()
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, folder.encode(),
                                                 IN_ACCESS | IN_CLOSE_NOWRITE) < 0:
            raise OSError(ctypes.get_errno(), f'cannot watch {folder} with inotify')
        self.stop_r, self.stop_w = os.pipe()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def close(self):
        os.write(self.stop_w, b'x')
        self.thread.join(10)
        for fd in (self.fd, self.stop_r, self.stop_w):
            os.close(fd)

    def _watch(self):
        poller = select.poll()
        poller.register(self.fd, select.POLLIN)
        poller.register(self.stop_r, select.POLLIN)
        while True:
            ready = [fd for fd, _ in poller.poll()]
            if self.stop_r in ready:
                return
            data = os.read(self.fd, 65536)
            names, offset = [], 0
            while offset < len(data):
                _, _, _, length = struct.unpack_from('iIII', data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b'\0').decode()
                names.append(name)
                offset += 16 + length
            with self.lock:
                self.events.extend(names)

    def mark(self):
        """Returns the position of a new mark once every earlier event has been seen."""
        with self.lock:
            before = self.events.count(self.MARK)
        # A read and a close: two events.
        with open(os.path.join(self.folder, self.MARK), encoding='utf-8') as f:
            f.read()

        def seen():
            with self.lock:
                if self.events.count(self.MARK) < before + 2:
                    return None
                return len(self.events) - self.events[::-1].index(self.MARK)
        return wait_for(seen, 'inotify to report the test\'s own read')

    def between(self, start, end):
        with self.lock:
            return sum(1 for name in self.events[start:end] if name == self.file)


class Processes:
    """The processes a test class starts, each in a process group of its own (umockdev-run
    starts the sensor service as its child), stopped through that group."""

    def __init__(self, folder):
        self.folder = folder
        self.running = {}

    def start(self, name, argv, env, stdout=None):
        with open(os.path.join(self.folder, name + '.log'), 'a', encoding='utf-8') as log:
            process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                       stdout=stdout or log, stderr=log, start_new_session=True)
        self.running[name] = process
        return process

    def log(self, process):
        name = next((n for n, p in self.running.items() if p is process), None)
        try:
            with open(os.path.join(self.folder, f'{name}.log'), encoding='utf-8',
                      errors='replace') as f:
                return f.read()[-4000:]
        except OSError:
            return ''

    def stop(self, name, sig=signal.SIGTERM):
        process = self.running.pop(name, None)
        if process is None:
            return
        for s in (sig, signal.SIGKILL):
            try:
                os.killpg(process.pid, s)
            except ProcessLookupError:
                pass
            try:
                process.wait(15)
                break
            except subprocess.TimeoutExpired:
                continue
        # What the group leader left behind (umockdev-run's child) goes with the group.
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def stop_all(self):
        for name in reversed(list(self.running)):
            self.stop(name)


class RealPhone(unittest.TestCase):
    """A phone's real services, shared by the tests of a class; one daemon per test."""

    callers = 0  # each call comes from another number

    @classmethod
    def setUpClass(cls):
        if not PHONED or not PACKAGE:
            raise AssertionError('ORVELLA_PHONED and ORVELLA_PACKAGE must name the program and '
                                 'the package')
        cls.scratch = tempfile.mkdtemp(prefix='orvella-real-services.')
        cls.processes = Processes(cls.scratch)
        cls.modem = None
        cls.reads = None
        cls.connections = []
        # Cleanups run even when the set-up fails half-way, at exit, and when we are terminated
        # (unittest would take SystemExit for a test's error and go on).
        cls.addClassCleanup(cls.clean_up_class)
        atexit.register(cls.clean_up_class)
        signal.signal(signal.SIGTERM, lambda *_: (cls.clean_up_class(), os._exit(1)))
        cls.env = cls.base_environment()
        cls.system, cls.system_monitor = cls.start_bus('system')
        cls.session, cls.session_monitor = cls.start_bus('session')
        cls.start_polkit()
        cls.start_sensors()
        cls.modem = FakeModem(os.path.join(cls.scratch, 'modem.sock'))
        cls.start_modem_manager()
        cls.start_sound_server()
        cls.start_call_audio()
        cls.start_double('screensaver', 'gnome_screensaver', system_bus=False)
        cls.start_double('bluez', 'bluez5', system_bus=True)

    @classmethod
    def clean_up_class(cls):
        if getattr(cls, 'scratch', None) is None:
            return
        cls.processes.stop_all()
        if cls.modem is not None:
            cls.modem.close()
        if cls.reads is not None:
            cls.reads.close()
        for connection in cls.connections:
            connection.close()
        shutil.rmtree(cls.scratch, ignore_errors=True)
        cls.scratch = None

    @classmethod
    def base_environment(cls):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(('DBUS_', 'PULSE_', 'XDG_', 'LC_')) and k != 'LANGUAGE'}
        env['LANG'] = 'C.UTF-8'
        env['HOME'] = os.path.join(cls.scratch, 'home')
        env['XDG_RUNTIME_DIR'] = os.path.join(cls.scratch, 'run')
        # umockdev-run makes its testbed here, so it is removed with the scratch folder.
        env['TMPDIR'] = cls.scratch
        os.makedirs(env['HOME'])
        os.makedirs(env['XDG_RUNTIME_DIR'], mode=0o700)
        return env

    # --- buses ---------------------------------------------------------------------------------

    @classmethod
    def start_bus(cls, kind):
        bus = cls.processes.start(
            f'{kind}-bus', ['dbus-daemon', '--nofork', '--print-address=1',
                            '--config-file=' + os.path.join(SERVICES, 'private-bus.conf'),
                            '--address=unix:dir=' + cls.scratch], cls.env, stdout=subprocess.PIPE)
        address = bus.stdout.readline().decode().strip()
        bus.stdout.close()
        if not address:
            raise AssertionError(f'the private {kind} bus did not start:\n{cls.processes.log(bus)}')
        cls.env[f'DBUS_{kind.upper()}_BUS_ADDRESS'] = address
        connection = dbus.bus.BusConnection(address)
        cls.connections.append(connection)
        log = os.path.join(cls.scratch, f'{kind}-bus.messages')
        with open(log, 'w', encoding='utf-8') as messages:
            cls.processes.start(f'{kind}-monitor',
                                ['dbus-monitor', '--address', address, '--profile'], cls.env,
                                stdout=messages)
        monitor = Monitor(log)
        wait_for(lambda: any(m.member == 'NameAcquired' for m in monitor.messages()),
                 f'dbus-monitor to watch the {kind} bus')
        return connection, monitor

    @classmethod
    def wait_for_name(cls, bus, name, process):
        def owned():
            if process.poll() is not None:
                raise AssertionError(f'{name} ended ({process.returncode}) before it was on the '
                                     f'bus:\n{cls.processes.log(process)}')
            return bus.name_has_owner(name)
        wait_for(owned, f'{name} on the bus')

    @classmethod
    def start_double(cls, name, template, system_bus):
        process = cls.processes.start(
            name, [PYTHON, '-m', 'dbusmock', '--system' if system_bus else '--session',
                   '--template', template], cls.env)
        bus_name = {'gnome_screensaver': 'org.gnome.ScreenSaver', 'bluez5': 'org.bluez',
                    'polkitd': POLKIT}[template]
        cls.wait_for_name(cls.system if system_bus else cls.session, bus_name, process)
        return process

    @classmethod
    def start_polkit(cls):
        cls.start_double('polkit', 'polkitd', system_bus=True)
        cls.allow(MODEM_ACTIONS)

    @classmethod
    def allow(cls, actions):
        authority = cls.system.get_object(POLKIT, '/org/freedesktop/PolicyKit1/Authority')
        authority.SetAllowed(actions, dbus_interface='org.freedesktop.DBus.Mock')

    # --- sensors -------------------------------------------------------------------------------

    @classmethod
    def start_sensors(cls):
        where = os.path.join(cls.scratch, 'testbed')
        process = cls.processes.start('sensors', [
            'umockdev-run', '-d', os.path.join(SERVICES, 'sensors.umockdev'), '--', 'sh', '-c',
            f'echo "$UMOCKDEV_DIR" > {where}; exec /usr/sbin/iio-sensor-proxy'], cls.env)
        cls.wait_for_name(cls.system, PROXY, process)
        with open(where, encoding='utf-8') as f:
            cls.testbed = f.read().strip()
        cls.iio = os.path.join(cls.testbed, 'sys/bus/iio/devices')
        cls.reads = Reads(os.path.join(cls.testbed, PROXIMITY), 'in_proximity_raw')

    @classmethod
    def write_sysfs(cls, device, values):
        for name, value in values.items():
            # In place, as the kernel's file stays the same file: a reader may keep it open.
            with open(os.path.join(cls.testbed, device, name), 'w', encoding='utf-8') as f:
                f.write(f'{value}\n')

    def set_proximity(self, value):
        self.write_sysfs(PROXIMITY, {'in_proximity_raw': value})

    def set_pose(self, pose):
        """+9.8 m/s^2 along z when the screen faces up, as Linux reports it."""
        z = {'up': 981, 'down': -981}[pose]
        self.write_sysfs(ACCELEROMETER, {'in_accel_x_raw': 0, 'in_accel_y_raw': 0,
                                         'in_accel_z_raw': z})

    # --- the modem -----------------------------------------------------------------------------

    @classmethod
    def start_modem_manager(cls):
        process = cls.processes.start('modem-manager', [
            'ModemManager', '--test-enable', '--test-no-udev', '--no-auto-scan',
            '--test-no-suspend-resume', '--log-level=INFO'], cls.env)
        cls.wait_for_name(cls.system, MM, process)
        root = cls.system.get_object(MM, MM_PATH)
        root.SetProfile('orvella', 'generic', [cls.modem.path], dbus_interface=MM + '.Test')

        def modem():
            objects = root.GetManagedObjects(dbus_interface='org.freedesktop.DBus.ObjectManager')
            found = [path for path, interfaces in objects.items()
                     if VOICE in interfaces and interfaces[MODEM]['State'] >= MODEM_DISABLED]
            return found[0] if found else None
        cls.modem_path = wait_for(modem, 'ModemManager to set up the fake modem')
        cls.system.get_object(MM, cls.modem_path).Enable(True, dbus_interface=MODEM,
                                                        timeout=BOUND)
        wait_for(lambda: cls.modem_property('State') >= MODEM_REGISTERED,
                 'the modem to be registered')

    @classmethod
    def modem_property(cls, name, interface=MODEM):
        return cls.system.get_object(MM, cls.modem_path).Get(
            interface, name, dbus_interface=dbus.PROPERTIES_IFACE)

    def call_state(self, path):
        return int(self.system.get_object(MM, path).Get(CALL, 'State',
                                                          dbus_interface=dbus.PROPERTIES_IFACE))

    def ring(self):
        """A call comes in on the fake modem; returns its path once ModemManager has it."""
        before = set(self.modem_property('Calls', VOICE))
        RealPhone.callers += 1
        self.modem.ring(f'+3160000{RealPhone.callers:04d}')

        def new_call():
            calls = [c for c in self.modem_property('Calls', VOICE) if c not in before]
            return calls[0] if calls and self.call_state(calls[0]) == RINGING_IN else None
        return str(wait_for(new_call, 'ModemManager to report the incoming call'))

    def caller_hangs_up(self, path):
        self.modem.caller_hangs_up()
        wait_for(lambda: self.call_state(path) == TERMINATED, 'the call to end')

    def clear_calls(self):
        """Ends every call and removes it from ModemManager's list."""
        self.allow(MODEM_ACTIONS)
        if self.modem.call_states():
            self.modem.caller_hangs_up()
        modem = self.system.get_object(MM, self.modem_path)
        for path in self.modem_property('Calls', VOICE):
            if self.call_state(path) != TERMINATED:
                self.system.get_object(MM, path).Hangup(dbus_interface=CALL)
            wait_for(lambda: self.call_state(path) == TERMINATED, 'the call to end')
            modem.DeleteCall(path, dbus_interface=VOICE)

    # --- sound ---------------------------------------------------------------------------------

    @classmethod
    def start_sound_server(cls):
        process = cls.processes.start('sound-server', [
            'pulseaudio', '-n', '-F', os.path.join(SERVICES, 'sound-server.pa'),
            '--daemonize=no', '--exit-idle-time=-1', '--use-pid-file=no'], cls.env)
        socket = os.path.join(cls.env['XDG_RUNTIME_DIR'], 'pulse', 'native')

        def listening():
            if process.poll() is not None:
                raise AssertionError(f'PulseAudio ended ({process.returncode}) at start:\n'
                                     f'{cls.processes.log(process)}')
            return os.path.exists(socket)
        wait_for(listening, 'PulseAudio to listen')

    @classmethod
    def start_call_audio(cls):
        process = cls.processes.start('callaudiod', ['callaudiod'], cls.env)
        cls.wait_for_name(cls.session, CALL_AUDIO, process)

    # --- each test -----------------------------------------------------------------------------

    def setUp(self):
        self.dir = os.path.join(self.scratch, self.id().rsplit('.', 1)[-1])
        os.makedirs(self.dir)
        self.daemon_env = dict(self.env, XDG_DATA_HOME=os.path.join(self.dir, 'data'))
        self.daemon = None
        self.allow(MODEM_ACTIONS)
        self.set_proximity(FAR)
        self.set_pose('up')
        self.addCleanup(self.clear_calls)

    def tearDown(self):
        stopped_badly = None
        if self.daemon is not None and self.daemon.poll() is None:
            self.daemon.send_signal(signal.SIGTERM)
            try:
                self.daemon.wait(BOUND)
            except subprocess.TimeoutExpired:
                self.daemon.kill()
                self.daemon.wait()
            if self.daemon.returncode != 0:
                stopped_badly = f'the daemon ended with status {self.daemon.returncode}'
        if stopped_badly or self.failed():
            tail = '\n'.join(self.daemon_output().splitlines()[-150:])
            sys.stderr.write(f'--- daemon output, the end ---\n{tail}\n')
            for name in sorted(os.listdir(self.scratch)):
                if name.endswith('.log') and os.path.getsize(os.path.join(self.scratch, name)):
                    with open(os.path.join(self.scratch, name), encoding='utf-8',
                              errors='replace') as f:
                        sys.stderr.write(f'--- {name}, the end ---\n{f.read()[-5000:]}\n')
        if stopped_badly:
            raise AssertionError(stopped_badly)

    def failed(self):
        result = getattr(getattr(self, '_outcome', None), 'result', None)
        if result is None:
            return True
        return any(t is self for t, _ in result.failures + result.errors)

    # --- the daemon ----------------------------------------------------------------------------

    def settings(self, *args):
        done = subprocess.run([PHONED, 'settings', '--package', PACKAGE, *args],
                              env=self.daemon_env, capture_output=True, text=True, timeout=BOUND)
        self.assertEqual(done.returncode, 0, done.stderr)

    def start_daemon(self, iio=None):
        since = self.system_monitor.mark()
        self.daemon_err = os.path.join(self.dir, 'daemon.err')
        with open(self.daemon_err, 'w', encoding='utf-8') as err:
            self.daemon = subprocess.Popen(
                [PHONED, '--package', PACKAGE, '--iio', iio or self.iio, '--verbose'],
                env=self.daemon_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=err)
        self.wait_said('ready', 'the daemon to start')
        # Its first look at the modems and the sensors has been answered: what a test does next
        # reaches a daemon that knows the phone.
        for member, destination in (('GetManagedObjects', MM), ('GetAll', PROXY)):
            call = wait_for(lambda: self.system_monitor.calls(member, since, destination),
                            f'the daemon to ask {destination} {member}')[0]
            wait_for(lambda: self.system_monitor.answer(call), f'{destination} to answer')
        self.daemon_name = call.sender
        return since

    def daemon_output(self):
        try:
            with open(self.daemon_err, encoding='utf-8', errors='replace') as f:
                return f.read()
        except (AttributeError, FileNotFoundError):
            return ''

    def said(self, text):
        return [line for line in self.daemon_output().splitlines()
                if line.startswith('orvella-phoned: ') and text in line]

    def wait_said(self, text, what=None, count=1):
        def check():
            if self.daemon.poll() is not None:
                raise AssertionError(f'the daemon stopped ({self.daemon.returncode}) while waiting '
                                     f'for {what or text!r}:\n{self.daemon_output()}')
            return len(self.said(text)) >= count
        wait_for(check, what or repr(text))

    def daemon_calls(self, member, since=0):
        """The daemon's calls of a method on the system bus."""
        return [m for m in self.system_monitor.calls(member, since) if m.sender == self.daemon_name]

    def wait_claimed(self, since):
        """Waits until the daemon has claimed the proximity sensor and reads it."""
        claim = wait_for(lambda: self.daemon_calls('ClaimProximity', since),
                         'the daemon to claim the proximity sensor')[0]
        mark = self.reads.mark()
        wait_for(lambda: self.reads.between(mark, None) > 0, 'the proximity sensor to be read')
        return claim

    def wait_released(self, since):
        """Waits until iio-sensor-proxy has taken the proximity sensor back from the daemon."""
        release = wait_for(lambda: self.daemon_calls('ReleaseProximity', since),
                           'the daemon to release the proximity sensor')[0]
        wait_for(lambda: self.system_monitor.answer(release), 'iio-sensor-proxy to take it back')
        return release

    def assert_not_read(self, start, end, after):
        self.assertEqual(self.reads.between(start, end), 0,
                         f'the proximity sensor is no longer read {after}')

    def wave(self, seconds, since, attempts=4):
        """Covers the proximity sensor for `seconds`, as a hand does, until the daemon answers.
        On a busy machine the test or the daemon may be held up long enough to stretch a cover
        beyond the speed's limit (the tweak times the wave out) or to miss a short one (the
        sensor is read again and again afterwards, and the tweak never heard of the cover): the
        wave is made again. Returns the Accept call."""
        for _ in range(attempts):
            timed_out = len(self.said('TIMED OUT'))
            covers = len(self.said('proximityState : kCONVERED'))
            self.set_proximity(NEAR)
            time.sleep(seconds)
            self.set_proximity(FAR)
            after = self.reads.mark()

            def outcome():
                if accepts := self.daemon_calls('Accept', since):
                    return accepts[0]
                if len(self.said('TIMED OUT')) > timed_out:
                    return 'timed out'
                unseen = len(self.said('proximityState : kCONVERED')) == covers
                return 'unseen' if unseen and self.reads.between(after, None) >= 6 else None
            result = wait_for(outcome, f'the daemon to answer a {seconds} s wave or time it out')
            if not isinstance(result, str):
                return result
        self.fail(f'no {seconds} s wave answered:\n' + '\n'.join(self.said('HandleProximity')))
