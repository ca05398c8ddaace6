"""A Linux phone's services as python3-dbusmock doubles on private system and session buses,
a scratch sysfs tree for the accelerometer and the proximity sensor, and orvella-phoned running
against them.

Every double writes what it is asked to its own log file ("<time> <method> <args>", time to the
millisecond), and answers GetMethodCalls over D-Bus; the tests read both. The daemon's reads of
the proximity sensor are counted through inotify. Nothing here sleeps to hope: waits poll a
condition with a generous bound.
"""

import ctypes
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import dbus
import dbusmock

PHONED = os.environ.get('ORVELLA_PHONED', '')
PACKAGE = os.environ.get('ORVELLA_PACKAGE', '')

MM = 'org.freedesktop.ModemManager1'
MM_PATH = '/org/freedesktop/ModemManager1'
MODEM = MM_PATH + '/Modem/0'
VOICE = MM + '.Modem.Voice'
CALL = MM + '.Call'
PROXY = 'net.hadess.SensorProxy'
PROXY_PATH = '/net/hadess/SensorProxy'
HFP_UUID = '0000111e-0000-1000-8000-00805f9b34fb'
OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'

RINGING_IN, ACTIVE, TERMINATED = 3, 4, 7
UNKNOWN, INCOMING, OUTGOING = 0, 1, 2

# The proximity sensor in sysfs: its raw readings when uncovered and covered, and the level from
# which the driver counts a reading as near.
FAR, NEAR, NEAR_LEVEL = 3, 240, 120

# Generous: the machine may be busy with other builds and tests.
BOUND = 45.0

# Accepting a call makes it active, as ModemManager does.
ACCEPT = ("self.UpdateProperties('', {'State': dbus.Int32(4)}); "
          "self.EmitSignal('', 'StateChanged', 'iiu', [dbus.Int32(3), dbus.Int32(4), dbus.UInt32(0)])")


def wait_for(condition, what, bound=BOUND):
    end = time.monotonic() + bound
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f'timed out after {bound:.0f} s waiting for {what}')
        time.sleep(0.05)


class Log:
    """A double's log file: (time, text) for each method it was called with."""

    LINE = re.compile(r'^(\d+\.\d+) (.*)$')

    def __init__(self, path):
        self.path = path

    def entries(self, method=None):
        out = []
        try:
            with open(self.path, encoding='utf-8', errors='replace') as f:
                for line in f:
                    m = self.LINE.match(line.rstrip('\n'))
                    if not m:
                        continue
                    text = m.group(2)
                    if method is None or text == method or text.startswith(method + ' '):
                        out.append((float(m.group(1)), text))
        except FileNotFoundError:
            pass
        return out

    def times(self, method):
        return [t for t, _ in self.entries(method)]


class Opens:
    """Counts the opens of one file in a folder through inotify. Closes are watched too, since
    inotify merges an event with an identical one still queued."""

    def __init__(self, folder, name):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, folder.encode(), 0x20 | 0x10) < 0:
            raise OSError(ctypes.get_errno(), f'cannot watch {folder}')
        self.name, self.count = name.encode(), 0

    def __call__(self):
        try:
            while data := os.read(self.fd, 65536):
                offset = 0
                while offset < len(data):  # struct inotify_event, then the name
                    _, mask, _, length = struct.unpack_from('iIII', data, offset)
                    name = data[offset + 16:offset + 16 + length].rstrip(b'\0')
                    self.count += mask & 0x20 != 0 and name == self.name  # IN_OPEN
                    offset += 16 + length
        except BlockingIOError:
            pass
        return self.count


class TestCase(dbusmock.DBusTestCase):
    """python3-dbusmock's test case without the folder its tearDownClass leaves in TMPDIR
    (0.28.7 forgets the folder's name before removing it)."""

    @classmethod
    def tearDownClass(cls):
        folder = getattr(dbusmock.DBusTestCase, '_DBusTestCase__datadir', None)
        super().tearDownClass()
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)
            setattr(dbusmock.DBusTestCase, '_DBusTestCase__datadir', None)


class Phone(TestCase):
    """One phone per test process: ctest runs every test in its own process."""

    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.start_session_bus()
        cls.system = cls.get_dbus(system_bus=True)
        cls.session = cls.get_dbus(system_bus=False)

    def setUp(self):
        if not PHONED or not PACKAGE:
            self.fail('ORVELLA_PHONED and ORVELLA_PACKAGE must name the program and the package')
        self.dir = tempfile.mkdtemp(prefix='orvella-phoned-test.')
        self.env = dict(os.environ)
        self.env['XDG_DATA_HOME'] = os.path.join(self.dir, 'data')
        # A runtime folder of its own: no sound server of the machine is found.
        self.env['XDG_RUNTIME_DIR'] = os.path.join(self.dir, 'run')
        os.makedirs(self.env['XDG_RUNTIME_DIR'], mode=0o700)
        self.env.pop('PULSE_SERVER', None)
        self.env['LANG'] = 'C.UTF-8'
        self.env.pop('LANGUAGE', None)
        self.env.pop('LC_ALL', None)
        self.env.pop('LC_MESSAGES', None)
        self.iio = os.path.join(self.dir, 'iio')
        self.proximity_folder = os.path.join(self.iio, 'iio:device1')
        self.proximity = None  # 'direct', 'unreadable' or None (no such sensor in sysfs)
        self.sensor_opens = None
        self.processes = []
        self.daemon = None
        self.calls = []

    def tearDown(self):
        if self.sensor_opens is not None:
            os.close(self.sensor_opens.fd)
        stopped_badly = None
        if self.daemon is not None:
            if self.daemon.poll() is None:
                self.daemon.send_signal(signal.SIGTERM)
                try:
                    self.daemon.wait(20)
                except subprocess.TimeoutExpired:
                    self.daemon.kill()
                    self.daemon.wait()
            # A clean stop is part of every test (a sanitizer's report ends it otherwise).
            if self.daemon.returncode != 0:
                stopped_badly = (f'the daemon ended with status {self.daemon.returncode}:\n'
                                 f'{self.daemon_output()}')
        for p in reversed(self.processes):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if self._outcome_failed():
            sys.stderr.write(f'--- daemon output ---\n{self.daemon_output()}\n')
            for name in sorted(os.listdir(self.dir)):
                if name.endswith('.log'):
                    with open(os.path.join(self.dir, name), encoding='utf-8', errors='replace') as f:
                        sys.stderr.write(f'--- {name} ---\n{f.read()}\n')
        shutil.rmtree(self.dir, ignore_errors=True)
        if stopped_badly:
            raise AssertionError(stopped_badly)

    def _outcome_failed(self):
        outcome = getattr(self, '_outcome', None)
        result = getattr(outcome, 'result', None)
        if result is None:
            return True
        return any(t is self for t, _ in result.failures + result.errors)

    # --- doubles -----------------------------------------------------------------------------

    def logfile(self, name):
        return open(os.path.join(self.dir, name + '.log'), 'w', encoding='utf-8')

    def spawn_template(self, template, parameters, name):
        with self.logfile(name) as log:
            process, obj = self.spawn_server_template(template, parameters, stdout=log)
        self.processes.append(process)
        return dbus.Interface(obj, dbusmock.MOCK_IFACE), Log(os.path.join(self.dir, name + '.log'))

    def start_sensors(self, has_proximity=True, near=False):
        self.sensors, self.sensors_log = self.spawn_template(
            'iio-sensors-proxy', {'has_proximity': has_proximity, 'proximity_near': near}, 'sensors')

    def start_lock_screen(self):
        mock, self.lock_screen_log = self.spawn_template('gnome_screensaver', {}, 'screensaver')
        self.lock_screen = dbus.Interface(mock, 'org.gnome.ScreenSaver')

    def start_notifications(self):
        self.notifications, self.notifications_log = self.spawn_template(
            'notification_daemon', {}, 'notifications')
        # The interface takes the id as an unsigned integer.
        self.notifications.AddMethod('', 'CloseNotification', 'u', '',
                                     'self.EmitSignal("", "NotificationClosed", "uu", [args[0], 3])')

    def start_bluetooth(self):
        self.bluez, self.bluez_log = self.spawn_template('bluez5', {}, 'bluez')
        dbus.Interface(self.system.get_object('org.bluez', '/'),
                       'org.bluez.Mock').AddAdapter('hci0', 'phone')

    def start_call_audio(self):
        with self.logfile('callaudio') as log:
            process = self.spawn_server('org.mobian_project.CallAudio',
                                        '/org/mobian_project/CallAudio',
                                        'org.mobian_project.CallAudio', system_bus=False,
                                        stdout=log)
        self.processes.append(process)
        self.call_audio = dbus.Interface(
            self.session.get_object('org.mobian_project.CallAudio', '/org/mobian_project/CallAudio'),
            dbusmock.MOCK_IFACE)
        self.call_audio.AddProperties('', {'AudioMode': dbus.UInt32(0),
                                           'SpeakerState': dbus.UInt32(0),
                                           'MicState': dbus.UInt32(0)})
        self.call_audio.AddMethods('', [
            ('SelectMode', 'u', 'b', 'ret = True'),
            ('EnableSpeaker', 'b', 'b',
             "self.UpdateProperties('', {'SpeakerState': dbus.UInt32(1 if args[0] else 0)}); ret = True"),
            ('MuteMic', 'b', 'b', 'ret = True'),
        ])
        self.call_audio_log = Log(os.path.join(self.dir, 'callaudio.log'))

    def start_modem(self):
        with self.logfile('modem') as log:
            process = subprocess.Popen(
                ['/usr/bin/python3', '-m', 'dbusmock', '--system', '-m', MM, MM_PATH, MM],
                stdout=log)
        self.processes.append(process)
        self.wait_for_bus_object(MM, MM_PATH, system_bus=True)
        self.modem_manager = dbus.Interface(self.system.get_object(MM, MM_PATH), dbusmock.MOCK_IFACE)
        voice = {'Calls': dbus.Array([], signature='o'), 'EmergencyOnly': False}
        self.modem_manager.AddObject(MODEM, MM + '.Modem',
                                     {'State': dbus.Int32(8), 'Manufacturer': 'Orvella test modem'}, [])
        self.modem = dbus.Interface(self.system.get_object(MM, MODEM), dbusmock.MOCK_IFACE)
        self.modem.AddProperties(VOICE, voice)
        self.modem.AddMethods(VOICE, [('ListCalls', '', 'ao', f'ret = self.props["{VOICE}"]["Calls"]')])
        interfaces = dbus.Dictionary({
            MM + '.Modem': dbus.Dictionary({'State': dbus.Int32(8)}, signature='sv'),
            VOICE: dbus.Dictionary(voice, signature='sv')}, signature='sa{sv}')
        self.modem_manager.EmitSignal(OBJECT_MANAGER, 'InterfacesAdded', 'oa{sa{sv}}',
                                      [dbus.ObjectPath(MODEM), interfaces])
        self.modem_log = Log(os.path.join(self.dir, 'modem.log'))

    def start_all(self, locked=False, pose='up', near=False, bluetooth_hfp=False,
                  proximity='direct'):
        self.set_pose(pose)
        if proximity is not None:
            self.add_proximity_sensor(proximity, near)
        self.start_modem()
        self.start_sensors(near=near)
        self.start_lock_screen()
        self.start_notifications()
        self.start_bluetooth()
        self.start_call_audio()
        if locked:
            self.lock_screen.SetActive(True)
        if bluetooth_hfp:
            self.connect_headset()

    # --- the phone ---------------------------------------------------------------------------

    def set_pose(self, pose, scale=0.01, matrix=None, device='iio:device0'):
        """Writes the accelerometer's sysfs files as Linux reports: +9.8 m/s^2 up from the
        screen when it faces up."""
        g = 9.80665
        vectors = {'up': (0, 0, g), 'down': (0, 0, -g), 'upright': (0, g, 0)}
        folder = os.path.join(self.iio, device)
        os.makedirs(folder, exist_ok=True)
        x, y, z = vectors[pose]
        values = {'in_accel_x_raw': round(x / scale), 'in_accel_y_raw': round(y / scale),
                  'in_accel_z_raw': round(z / scale), 'in_accel_scale': f'{scale:.6f}',
                  'name': 'test-accel'}
        if matrix is not None:
            values['in_accel_mount_matrix'] = matrix
        for name, value in values.items():
            self.write_attribute(folder, name, value)

    def write_attribute(self, folder, name, value):
        """As sysfs shows a value: whole, never half-written."""
        temporary = os.path.join(folder, '.' + name)
        with open(temporary, 'w', encoding='utf-8') as f:
            f.write(f'{value}\n')
        os.replace(temporary, os.path.join(folder, name))

    def add_proximity_sensor(self, kind='direct', near=False):
        """A proximity sensor in sysfs; 'unreadable' gives readings that are not numbers."""
        os.makedirs(self.proximity_folder, exist_ok=True)
        self.proximity = kind
        self.write_attribute(self.proximity_folder, 'name', 'test-proximity')
        self.write_attribute(self.proximity_folder, 'in_proximity_nearlevel', NEAR_LEVEL)
        self.write_attribute(self.proximity_folder, 'in_proximity_raw',
                             'busy' if kind == 'unreadable' else NEAR if near else FAR)
        self.sensor_opens = Opens(self.proximity_folder, 'in_proximity_raw')

    def cover(self, near=True):
        """The hand over the sensor, or away: in sysfs where the daemon can read the sensor,
        else only as iio-sensor-proxy says it (so a test passes only the way it means)."""
        if self.proximity == 'direct':
            self.write_attribute(self.proximity_folder, 'in_proximity_raw', NEAR if near else FAR)
        else:
            self.sensors.SetInternalProperty(PROXY, 'ProximityNear', dbus.Boolean(near))

    def seen(self, covered):
        """Proximity changes the tweak has been told of so far."""
        return len(self.said('proximityState : ' + ('kCONVERED' if covered else 'kUNCONVERED')))

    def wave(self, seconds=0.25, watched=True):
        """One wave over the sensor, covered for at least that long; returns the time of the
        uncovering. On a watched sensor each half waits until the tweak has been told, so a
        busy machine cannot lose a wave."""
        before = (self.seen(True), self.seen(False))
        start = time.time()
        self.cover(True)
        if watched:
            wait_for(lambda: self.seen(True) > before[0], 'the tweak to see the sensor covered')
        time.sleep(max(0.0, start + seconds - time.time()))
        at = time.time()
        self.cover(False)
        if watched:
            wait_for(lambda: self.seen(False) > before[1], 'the tweak to see the sensor uncovered')
        return at

    def assert_not_read(self, what, seconds=0.6):
        """The daemon does not read the proximity sensor any more (a dozen readings' time)."""
        before = self.sensor_opens()
        time.sleep(seconds)
        self.assertEqual(self.sensor_opens(), before, f'the sensor is not read {what}')

    def connect_headset(self):
        bluez = dbus.Interface(self.system.get_object('org.bluez', '/'), 'org.bluez.Mock')
        path = bluez.AddDevice('hci0', '11:22:33:44:55:66', 'Headset')
        device = dbus.Interface(self.system.get_object('org.bluez', path), dbusmock.MOCK_IFACE)
        device.UpdateProperties('org.bluez.Device1', {
            'UUIDs': dbus.Array([HFP_UUID, '0000110b-0000-1000-8000-00805f9b34fb'], signature='s'),
            'Connected': dbus.Boolean(True)})

    def ring(self, number=1, direction=INCOMING, state=RINGING_IN, accept=ACCEPT):
        """A call on the modem; accept='' makes Accept leave it ringing."""
        path = f'{MM_PATH}/Call/{number}'
        self.modem_manager.AddObject(path, CALL, {
            'State': dbus.Int32(state), 'StateReason': dbus.Int32(0),
            'Direction': dbus.Int32(direction), 'Number': '+31600000000',
            'Multiparty': False, 'AudioPort': '',
            'AudioFormat': dbus.Dictionary({}, signature='sv')},
            [('Accept', '', '', accept), ('Hangup', '', '', ''), ('Start', '', '', '')])
        self.calls.append(path)
        self.modem.UpdateProperties(VOICE, {'Calls': dbus.Array(self.calls, signature='o')})
        self.modem.EmitSignal(VOICE, 'CallAdded', 'o', [dbus.ObjectPath(path)])
        return path

    def call_mock(self, path):
        return dbus.Interface(self.system.get_object(MM, path), dbusmock.MOCK_IFACE)

    def set_call_state(self, path, state):
        call = self.call_mock(path)
        before = int(dbus.Interface(self.system.get_object(MM, path),
                                    dbus.PROPERTIES_IFACE).Get(CALL, 'State'))
        call.UpdateProperties(CALL, {'State': dbus.Int32(state)})
        call.EmitSignal(CALL, 'StateChanged', 'iiu', [dbus.Int32(before), dbus.Int32(state),
                                                        dbus.UInt32(0)])

    def end_call(self, path):
        self.set_call_state(path, TERMINATED)
        self.calls.remove(path)
        self.modem.UpdateProperties(VOICE, {'Calls': dbus.Array(self.calls, signature='o')})
        self.modem.EmitSignal(VOICE, 'CallDeleted', 'o', [dbus.ObjectPath(path)])

    def accepts(self, path):
        return len(self.call_mock(path).GetMethodCalls('Accept'))

    def accept_times(self):
        return self.modem_log.times('Accept')

    # --- the daemon ----------------------------------------------------------------------------

    def start_daemon(self, extra=()):
        self.daemon_err = os.path.join(self.dir, 'daemon.err')
        with open(self.daemon_err, 'w', encoding='utf-8') as err:
            self.daemon = subprocess.Popen(
                [PHONED, '--package', PACKAGE, '--iio', self.iio, '--verbose', *extra],
                env=self.env, stdout=subprocess.DEVNULL, stderr=err)
        self.wait_said('ready', 'the daemon to start')

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

    def settle(self, log, method, what):
        """Waits until the daemon has asked a double for its state at start."""
        wait_for(lambda: log.entries(method), what)

    def wait_started(self):
        """The daemon has asked every double for its state."""
        self.settle(self.modem_log, 'GetManagedObjects', 'the daemon to list the modems')
        self.settle(self.sensors_log, 'GetAll', 'the daemon to read the sensors')
        self.settle(self.lock_screen_log, 'GetActive', 'the daemon to read the lock screen')
        self.settle(self.bluez_log, 'GetManagedObjects', 'the daemon to list Bluetooth devices')
        self.settle(self.call_audio_log, 'GetAll', 'the daemon to read the speaker state')
        # Their answers are already on the way: anything a test does next reaches the daemon
        # only after more round trips than that.

    def run_settings(self, *args, env=None):
        return subprocess.run([PHONED, 'settings', '--package', PACKAGE, *args],
                              env=env or self.env, capture_output=True, text=True, timeout=60)
