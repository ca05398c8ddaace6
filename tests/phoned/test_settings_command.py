"""`orvella-phoned settings`: the settings pane run headless, its options checked, its
choices printed in the user's language, its changes written through the pane."""

import os
import plistlib
import shutil
import subprocess
import tempfile
import unittest


from phone import PACKAGE, PHONED, TestCase

SETTINGS = 'orvella/var/mobile/Library/Preferences/com.brelkin.Orvella.plist'


class SettingsCommand(TestCase):

    @classmethod
    def setUpClass(cls):
        cls.start_session_bus()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='orvella-settings-test.')
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ('LANGUAGE', 'LC_ALL', 'LC_MESSAGES')}
        self.env['XDG_DATA_HOME'] = self.dir
        self.env['LANG'] = 'C.UTF-8'

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_settings(self, *args, **env):
        return subprocess.run([PHONED, 'settings', '--package', PACKAGE, *args],
                              env={**self.env, **env}, capture_output=True, text=True, timeout=60)

    def stored(self):
        with open(os.path.join(self.dir, SETTINGS), 'rb') as f:
            return plistlib.load(f)

    def test_help_and_version_go_to_standard_output(self):
        for args in (['settings', '--help'], ['--help'], ['-h']):
            done = subprocess.run([PHONED, *args], capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 0, args)
            self.assertIn('usage: orvella-phoned', done.stdout)
            self.assertIn('--speaker-with-headset on|off', done.stdout)
            self.assertIn('--iio=DIR', done.stdout)
            self.assertEqual(done.stderr, '')
        for args in (['--version'], ['settings', '--version']):
            done = subprocess.run([PHONED, *args], capture_output=True, text=True, timeout=60)
            self.assertEqual((done.returncode, done.stderr), (0, ''), args)
            self.assertRegex(done.stdout, r'^orvella-phoned \d+\.\d+\n$')

    def test_every_value_is_checked_with_a_clear_message(self):
        cases = [
            (['--locked', '4'], "--locked needs a number of waves from 1 to 3, not '4'"),
            (['--locked', 'two'], "--locked needs a number of waves from 1 to 3, not 'two'"),
            (['--locked', '2x'], "--locked needs a number of waves from 1 to 3, not '2x'"),
            (['--unlocked', '3'], "--unlocked needs a number of waves from 1 to 2, not '3'"),
            (['--unlocked', '0'], "--unlocked needs a number of waves from 1 to 2, not '0'"),
            (['--speed', 'warp'], "--speed needs slow, medium or fast, not 'warp'"),
            (['--speaker-with-headset', 'yes'], "--speaker-with-headset needs 'on' or 'off', not 'yes'"),
            (['--on', '--off'], '--on and --off cannot be given together'),
            (['--locked'], '--locked: needs a value'),
            (['--loud'], "unknown option '--loud'"),
            (['--loked', '2'], "unknown option '--loked' (did you mean '--locked'?)"),
            (['--on=yes'], '--on: takes no value'),
            (['extra'], "unexpected argument 'extra'"),
        ]
        # One line naming the problem, then where the options are, not the whole usage.
        try_help = "Try 'orvella-phoned --help' for the options.\n"
        for args, message in cases:
            done = self.run_settings(*args)
            self.assertEqual(done.returncode, 2, args)
            self.assertEqual(done.stderr, 'orvella-phoned: ' + message + '\n' + try_help, args)
            self.assertEqual(done.stdout, '')
        self.assertFalse(os.path.exists(os.path.join(self.dir, SETTINGS)), 'nothing written')
        for args, message in ((['answer'], "unknown command 'answer' (the only one is 'settings')"),
                              (['setings'], "unknown command 'setings' (did you mean 'settings'?)"),
                              (['--iio'], '--iio: needs a value'),
                              (['--verbsoe'], "unknown option '--verbsoe' (did you mean '--verbose'?)")):
            done = subprocess.run([PHONED, *args], capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 2, args)
            self.assertEqual(done.stderr, 'orvella-phoned: ' + message + '\n' + try_help, args)

    def test_shows_and_changes_the_choices_through_the_pane(self):
        done = self.run_settings()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.splitlines(), [
            'Enabled: on', 'Speaker with headset: off', 'Latest detection system: on',
            'Wave speed: (tap here)', 'Waves when locked: (tap here)',
            'Waves when unlocked: (tap here)'])
        self.assertFalse(os.path.exists(os.path.join(self.dir, SETTINGS)), 'showing writes nothing')

        done = self.run_settings('--off', '--speed', 'fast', '--unlocked', '2',
                                 '--speaker-with-headset', 'on')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('Enabled: off', done.stdout)
        self.assertIn('Speaker with headset: on', done.stdout)
        self.assertIn('Wave speed: Fast', done.stdout)
        self.assertIn('Waves when unlocked: Twice', done.stdout)
        self.assertIn('Waves when locked: Twice', done.stdout, "the picker's own default row")
        self.assertEqual(self.stored(), {
            'IsOn': False, 'UseSpeakerWithHeadsetPlugedIn': True, 'WaveProtocolSpeed': 2,
            'WaveProtocolLocked': 1, 'WaveProtocolUnlocked': 1})

        # Only what is asked changes; the rest stays as stored.
        done = self.run_settings('--on', '--locked', '1')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.stored(), {
            'IsOn': True, 'UseSpeakerWithHeadsetPlugedIn': True, 'WaveProtocolSpeed': 2,
            'WaveProtocolLocked': 0, 'WaveProtocolUnlocked': 1})

    def test_choices_in_dutch_from_the_panes_own_tables(self):
        done = self.run_settings('--speed', 'slow', '--locked', '1', '--off',
                                 LANG='nl_NL.UTF-8')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('Wave speed: Traag', done.stdout)
        self.assertIn('Waves when locked: Eén keer', done.stdout)
        self.assertIn('Enabled: uit', done.stdout)

    def test_an_unreadable_settings_file_is_left_alone(self):
        path = os.path.join(self.dir, SETTINGS)
        os.makedirs(os.path.dirname(path))
        with open(path, 'w', encoding='utf-8') as f:
            f.write('<plist><dict><key>IsOn</key>')
        done = self.run_settings('--off')
        self.assertEqual(done.returncode, 1)
        self.assertIn(path + ': not a readable settings file', done.stderr)
        with open(path, encoding='utf-8') as f:
            self.assertEqual(f.read(), '<plist><dict><key>IsOn</key>')
        done = self.run_settings()
        self.assertEqual(done.returncode, 0, 'showing still works')

    def test_without_a_session_bus_the_change_is_saved_and_that_is_said(self):
        done = self.run_settings('--locked', '3',
                                 DBUS_SESSION_BUS_ADDRESS='unix:path=' + self.dir + '/no-bus')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('reads them only when it starts again', done.stderr)
        self.assertEqual(self.stored()['WaveProtocolLocked'], 2)

    def test_a_bus_it_cannot_reach_is_named_with_its_address(self):
        nowhere = 'unix:path=' + self.dir + '/no-system-bus'
        done = subprocess.run([PHONED, '--package', PACKAGE],
                              env={**self.env, 'DBUS_SYSTEM_BUS_ADDRESS': nowhere},
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 3, done.stderr)
        self.assertIn('cannot connect to the system bus', done.stderr)
        self.assertIn('(address ' + nowhere + ')', done.stderr)
        self.assertNotIn('ready', done.stderr)

    def test_a_missing_package_is_named(self):
        done = subprocess.run([PHONED, 'settings', '--package', self.dir + '/nowhere'],
                              env=self.env, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertIn(self.dir + '/nowhere: not an Orvella package', done.stderr)


if __name__ == '__main__':
    unittest.main()
