"""orvella-phoned against doubles of a Linux phone's services: calls ring on the modem, the
phone lies still or not, a hand waves over the proximity sensor (read in sysfs, or through
iio-sensor-proxy where it cannot be read there); the tests check what the daemon asked of each
service, in what order and how often, and when it read the sensor."""

import os
import time
import unittest

import dbus

from phone import (ACTIVE, BOUND, OUTGOING, PROXY, RINGING_IN, TERMINATED, UNKNOWN, Phone,
                   wait_for)

# The tweak samples the accelerometer every 0.8 s and needs five screen-up samples in a row
# before it arms the proximity sensor, 0.5 s later: at least 4.5 s on the daemon's clock.
POSE_CHECK = 4.0  # seconds, with room for clocks that tick differently
SPEAKER_DELAY = 1.9  # the speaker follows the answer by 2 s of the daemon's clock


class Calls(Phone):

    def claims(self):
        return self.sensors_log.times('ClaimProximity')

    def releases(self):
        return self.sensors_log.times('ReleaseProximity')

    def wait_claimed(self, count=1):
        return wait_for(lambda: len(self.claims()) >= count and self.claims(),
                        'the proximity sensor to be claimed')[-1]

    def wait_released(self, count=1):
        return wait_for(lambda: len(self.releases()) >= count and self.releases(),
                        'the proximity sensor to be released')[-1]

    def notified(self):
        return self.notifications_log.entries('Notify')

    def withdrawn(self):
        return self.notifications_log.entries('CloseNotification')

    def statuses(self):
        """The call statuses the tweak was told, in order."""
        lines = [line for line in self.daemon_output().splitlines() if 'kCTCall State:' in line]
        return [line.rsplit(':', 1)[1].strip().split()[0] for line in lines]

    def test_locked_phone_answered_by_two_waves_then_speaker(self):
        self.start_all(locked=True)
        self.start_daemon()
        self.wait_started()
        rang = time.time()
        call = self.ring()

        claimed = self.wait_claimed()
        self.assertGreaterEqual(claimed - rang, POSE_CHECK,
                                'the sensor is claimed only after the phone lay screen-up')
        wait_for(self.notified, 'the hint notification')
        self.assertIn('"Wave twice to answer"', self.notified()[0][1])

        # iio-sensor-proxy, reading the sensor late, says near while the sensor reads far: the
        # sensor's own word counts, so that is no wave.
        # The change is on its way to the daemon before the call returns; two readings later the
        # daemon has taken it in.
        opens = self.sensor_opens()
        self.sensors.SetInternalProperty(PROXY, 'ProximityNear', dbus.Boolean(True))
        wait_for(lambda: self.sensor_opens() >= opens + 2, 'two readings of the sensor')
        self.wave()
        self.assertEqual(self.accepts(call), 0, 'one wave does not answer a locked phone')
        second = self.wave()
        answered = wait_for(self.accept_times, 'Accept on the call')[0]
        self.assertGreaterEqual(answered, second, 'answered at the second uncovering')

        released = self.wait_released()
        self.assertGreaterEqual(released, answered, 'released when the call turned active')
        self.assert_not_read('after the answer')
        speaker = wait_for(lambda: self.call_audio_log.entries('EnableSpeaker'),
                           'EnableSpeaker')[0]
        self.assertEqual(speaker[1], 'EnableSpeaker True')
        self.assertGreater(speaker[0], answered)
        self.assertGreaterEqual(speaker[0] - second, SPEAKER_DELAY,
                                'the speaker comes 2 s after the answer, not before')
        closed = wait_for(lambda: self.notifications_log.entries('CloseNotification'),
                          'the hint to be withdrawn')
        self.assertEqual(closed[0][1], 'CloseNotification 1', 'the notification shown is withdrawn')
        self.assertGreaterEqual(closed[0][0], self.notified()[0][0])

        # Nothing more happens once the call is active; every count stays at one.
        self.set_call_state(call, ACTIVE)
        self.end_call(call)
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end')
        self.assertEqual(self.accepts(call), 1)
        self.assertEqual(len(self.claims()), 1)
        self.assertEqual(len(self.releases()), 1)
        self.assertEqual(len(self.call_audio_log.entries('EnableSpeaker')), 1)
        self.assertEqual(len(self.notified()), 1)

    def test_bluetooth_hands_free_answers_without_speaker(self):
        # At fast speed too: a quick wave (0.3 s) is seen and answers within the 0.7 s limit.
        self.start_all(bluetooth_hfp=True)
        self.start_daemon()
        self.wait_started()
        done = self.run_settings('--speed', 'fast')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.wait_said('the settings changed', 'the daemon to hear of the change')
        call = self.ring()
        self.wait_claimed()
        self.assertIn('"Wave once to answer"', wait_for(self.notified, 'the hint')[0][1])
        # A wave that a stalled machine stretched past the limit is simply waved again; the
        # tweak has decided by the time it has seen the uncovering.
        for _ in range(3):
            timed_out = len(self.said('TIMED OUT'))
            self.wave(0.3)
            if len(self.said('TIMED OUT')) == timed_out:
                break
        wait_for(self.accept_times, 'Accept on the call')
        self.wait_said('HEADPHONES ARE PLUGGED IN!', 'the tweak to decide against the speaker')
        self.wait_released()
        self.end_call(call)
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end')
        self.assertEqual(self.accepts(call), 1)
        self.assertEqual(self.call_audio_log.entries('EnableSpeaker'), [])

    def test_face_down_then_in_a_pocket_never_claimed_never_answered(self):
        self.start_all(pose='down')
        self.start_daemon()
        self.wait_started()
        opens = self.sensor_opens()
        call = self.ring()
        # Five samples face down, waves; then upright with the sensor covered (a pocket), five
        # more samples, waves.
        self.wait_said('NEGATIVE (proximity sensor is DEACTIVATED)', 'the pose check', count=1)
        for _ in range(2):
            self.wave(watched=False)
        self.set_pose('upright')
        self.cover(True)
        samples = len(self.said('NEGATIVE (proximity sensor is DEACTIVATED)'))
        self.wait_said('NEGATIVE (proximity sensor is DEACTIVATED)', 'more samples',
                       count=samples + 5)
        for _ in range(2):
            self.wave(watched=False)
        self.end_call(call)
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end')
        self.assertEqual(self.claims(), [])
        self.assertEqual(self.accepts(call), 0)
        self.assertEqual(self.sensor_opens(), opens, 'the sensor is read only while armed')

    def test_screen_locking_while_ringing_ends_the_watch(self):
        self.start_all()
        self.start_daemon()
        self.wait_started()
        call = self.ring()
        claimed = self.wait_claimed()
        wait_for(self.notified, 'the hint')
        self.lock_screen.SetActive(True)
        self.assertGreaterEqual(self.wait_released(), claimed)
        wait_for(self.withdrawn, 'the hint to be withdrawn')
        self.assert_not_read('once the screen locked')
        self.wave(watched=False)
        self.wave(watched=False)
        self.end_call(call)
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end')
        self.assertEqual(self.accepts(call), 0)
        self.assertEqual(len(self.claims()), 1)
        self.assertEqual(len(self.releases()), 1)

    def test_call_ending_before_any_wave_releases_every_claim(self):
        self.start_all()
        self.start_daemon()
        self.wait_started()
        call = self.ring()
        self.wait_claimed()
        # The modem says the call is over while it still lists it: that ends the watch already.
        self.set_call_state(call, TERMINATED)
        self.wait_released()
        wait_for(self.withdrawn, 'the hint to be withdrawn')
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end')
        self.assert_not_read('after the call ended')
        self.end_call(call)
        self.assertEqual(len(self.claims()), len(self.releases()))
        self.assertEqual(self.statuses(), ['4', '5'])
        self.assertEqual(self.accepts(call), 0)

    def test_outgoing_and_already_active_calls_are_not_watched(self):
        self.start_all()
        self.start_daemon()
        self.wait_started()
        outgoing = self.ring(number=1, direction=OUTGOING, state=2)
        active = self.ring(number=2, state=ACTIVE)
        self.set_call_state(outgoing, ACTIVE)
        # Ringing, but not towards this phone, or from nobody knows where.
        odd = [self.ring(number=4, direction=OUTGOING), self.ring(number=5, direction=UNKNOWN)]
        # A ringing call after them is watched: the tweak sees it, and only it.
        ringing = self.ring(number=3)
        self.wait_claimed()
        self.wave()
        wait_for(self.accept_times, 'Accept on the ringing call')
        self.wait_released()
        self.assertEqual(self.accepts(ringing), 1)
        for other in [outgoing, active, *odd]:
            self.assertEqual(self.accepts(other), 0)
        self.assertEqual(self.statuses(), ['4', '1'])
        self.assertEqual(len(self.claims()), 1)

    def test_settings_locked_three_while_running_needs_three_waves(self):
        self.start_all(locked=True)
        self.start_daemon()
        self.wait_started()
        done = self.run_settings('--locked', '3')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('Waves when locked: Three times', done.stdout)
        self.wait_said('the settings changed', 'the daemon to hear of the change')

        call = self.ring()
        self.wait_claimed()
        self.assertIn('"Wave thrice to answer"', wait_for(self.notified, 'the hint')[0][1])
        self.wave()
        self.wave()
        time.sleep(0.3)
        self.assertEqual(self.accepts(call), 0, 'two waves do not answer')
        third = self.wave()
        answered = wait_for(self.accept_times, 'Accept on the call')[0]
        self.assertGreaterEqual(answered, third, 'answered at the third uncovering')
        self.wait_released()
        self.assertEqual(self.accepts(call), 1)

    def test_modem_service_missing_at_start_then_appearing(self):
        # The proximity sensor cannot be read in sysfs either: iio-sensor-proxy stands in.
        self.set_pose('up')
        self.add_proximity_sensor('unreadable')
        self.start_sensors()
        self.start_lock_screen()
        self.start_notifications()
        self.start_bluetooth()
        self.start_call_audio()
        self.start_daemon()
        lines = self.daemon_output().splitlines()
        first = {text: next((i for i, line in enumerate(lines) if line.startswith(
            'orvella-phoned: ' + text)), None) for text in ('the modem service', 'ready')}
        self.assertIsNotNone(first['the modem service'], 'the missing service is named at start')
        self.assertLess(first['the modem service'], first['ready'], 'named before "ready"')
        self.assertEqual(len(self.said('ModemManager) is not running; waiting for it')), 1)
        self.assertEqual(self.daemon.poll(), None, 'the daemon waits rather than exit')
        self.start_modem()
        self.wait_said('the modem service (ModemManager) is running now')
        self.settle(self.modem_log, 'GetManagedObjects', 'the daemon to list the modems')
        call = self.ring()
        self.wait_claimed()
        self.wave()
        wait_for(self.accept_times, 'Accept on the call')
        self.assertEqual(self.accepts(call), 1)
        self.assertEqual(len(self.said('ModemManager) is not running')), 1, 'said once')
        fallback = self.said('followed through iio-sensor-proxy instead')
        self.assertEqual(len(fallback), 1, 'said once')
        self.assertIn('in_proximity_raw: not a number', fallback[0])
        self.assertEqual(self.said('read directly'), [])

    def test_without_sensors_waving_is_unavailable_and_the_daemon_keeps_running(self):
        self.start_modem()
        self.start_sensors(has_proximity=False)
        self.start_lock_screen()
        self.start_notifications()
        self.start_bluetooth()
        self.start_call_audio()
        self.start_daemon()  # no accelerometer in the scratch sysfs tree
        self.wait_said('this phone has no proximity sensor: waving is unavailable')
        self.assertEqual(len(self.said('no accelerometer under')), 1)
        self.assertEqual(len(self.said('no proximity sensor under')), 1)
        self.wait_started()
        call = self.ring()
        self.wait_said('kCTCall State: 4', 'the tweak to see the call')
        wait_for(self.notified, 'the hint')
        self.end_call(call)
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end')
        self.assertEqual(self.daemon.poll(), None)
        self.assertEqual(self.claims(), [])

    def test_sensor_mounted_upside_down_then_stopping_the_daemon_releases_its_claim(self):
        # The sensor reports down where the screen faces up; the mount matrix turns it round,
        # so the pose check passes and the sensor is claimed.
        self.start_all(pose='down')
        self.set_pose('down', scale=0.02, matrix='-1, 0, 0; 0, -1, 0; 0, 0, -1')
        self.start_daemon()
        self.wait_started()
        self.ring()
        self.wait_claimed()
        self.assertEqual(len(self.said('read directly every 50 ms')), 1)
        wait_for(self.notified, 'the hint')
        self.daemon.terminate()
        self.assertEqual(self.daemon.wait(BOUND), 0)
        self.assertEqual(len(self.releases()), 1)
        self.assertEqual(len(self.withdrawn()), 1)

    def test_two_ringing_calls_the_one_left_ringing_is_watched_and_accepted_once(self):
        self.start_all()
        self.start_daemon()
        self.wait_started()
        # The first call's Accept leaves it ringing (a modem slow to pick up). Three ring; the
        # newest is watched, so the second one ending says nothing; the newest ending leaves
        # the first watched again, and a wave answers it.
        first = self.ring(number=1, accept='')
        second = self.ring(number=2)
        newest = self.ring(number=6)
        self.wait_said('kCTCall State: 4', 'the tweak to see the newest call', count=3)
        self.end_call(second)
        self.end_call(newest)
        self.wait_claimed()
        # Claimed only after the pose check, long after the newest call's end was taken in:
        # the call screen built for the first call again still shows its hint.
        self.assertGreater(len(self.notified()), len(self.withdrawn()),
                           'the hint of the call watched again is shown')
        self.wave()
        wait_for(self.accept_times, 'Accept on the first call')
        self.assertEqual([self.accepts(c) for c in (first, second, newest)], [1, 0, 0])

        # A third call comes and goes; the first, still ringing, is watched again, and another
        # wave does not send a second Accept.
        third = self.ring(number=3)
        self.wait_said('kCTCall State: 4', 'the tweak to see the third call', count=5)
        self.end_call(third)
        self.wait_claimed(count=2)
        self.wave()
        self.wait_said('SLIDING OPEN', 'the tweak to answer again', count=2)
        wait_for(lambda: self.said('answered once already') or self.accepts(first) > 1,
                 'the daemon to decide on a second Accept')
        self.assertEqual([self.accepts(c) for c in (first, second, third)], [1, 0, 0])

        # The modem says the first call is over while it still lists it.
        self.set_call_state(first, TERMINATED)
        self.wait_released(count=2)
        wait_for(lambda: len(self.withdrawn()) >= len(self.notified()), 'the hint to be withdrawn')
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end', count=3)
        self.assert_not_read('after the call ended')
        self.assertEqual(self.statuses(), ['4', '4', '4', '5', '4', '4', '5', '4', '5'])
        self.assertEqual(len(self.claims()), 2)


if __name__ == '__main__':
    unittest.main()
