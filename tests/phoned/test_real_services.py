"""orvella-phoned against the real services of a Linux phone: a call rings on a modem that
ModemManager drives, a hand covers a proximity sensor that iio-sensor-proxy serves and the
daemon reads, polkit grants or refuses the answer, callaudiod refuses the speaker for want of a
sound card, and services go away and come back."""

import os
import signal
import unittest

from phone import BOUND, wait_for
from real_phone import ACCELEROMETER, ACTIVE, CALL_AUDIO, FAR, MM, NEAR, RINGING_IN, RealPhone

SPEAKER_DELAY = 1.9  # the speaker follows the answer by 2 s of the daemon's clock


class Calls(RealPhone):

    def speaker_calls(self, since):
        return self.session_monitor.calls('EnableSpeaker', since, CALL_AUDIO)

    def assert_quiet(self, after):
        """Nobody reads the proximity sensor while the daemon's own clock runs on: another call
        rings with the phone face down, and the daemon samples the accelerometer (every 0.8 s)
        without arming the sensor. A sensor still read at the daemon's pace would be read dozens
        of times meanwhile."""
        self.set_pose('down')
        if self.daemon is None or self.daemon.poll() is not None:
            self.start_daemon()
        start = self.reads.mark()
        samples = len(self.said('NEGATIVE (proximity sensor is DEACTIVATED)'))
        call = self.ring()
        self.wait_said('NEGATIVE (proximity sensor is DEACTIVATED)', 'the daemon to sample',
                       count=samples + 3)
        self.assert_not_read(start, self.reads.mark(), after)
        self.caller_hangs_up(call)
        self.set_pose('up')

    def test_a_one_second_cover_at_medium_answers_once(self):
        since = self.start_daemon()
        session_since = self.session_monitor.mark()
        modem_since = self.modem.mark()
        call = self.ring()
        self.wait_claimed(since)
        accept = self.wave(1.0, since)

        wait_for(lambda: self.call_state(call) == ACTIVE, 'the call to turn active')
        release = self.wait_released(since)
        released = self.reads.mark()
        self.assertGreaterEqual(release.time, accept.time, 'released once the call is active')
        speaker = wait_for(lambda: self.speaker_calls(session_since), 'EnableSpeaker')[0]
        self.assertGreaterEqual(speaker.time - accept.time, SPEAKER_DELAY,
                                'the speaker comes 2 s after the answer')
        # callaudiod finds no card with a speaker: the daemon says so and carries on.
        self.wait_said('callaudiod could not turn the speaker on')
        self.assert_not_read(released, self.reads.mark(), 'after the answer')

        self.caller_hangs_up(call)
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end')
        self.assert_quiet('after the answered call ended')
        self.assertEqual(len(self.daemon_calls('Accept', since)), 1)
        self.assertEqual(len(self.modem.commands('ATA', modem_since)), 1)
        self.assertEqual(len(self.daemon_calls('ClaimProximity', since)), 1)
        self.assertEqual(len(self.daemon_calls('ReleaseProximity', since)), 1)
        self.assertEqual(len(self.speaker_calls(session_since)), 1)

    def test_a_short_cover_at_fast_answers(self):
        self.settings('--unlocked', '1', '--speed', 'fast')
        since = self.start_daemon()
        call = self.ring()
        self.wait_claimed(since)
        # Shorter than iio-sensor-proxy's pace of reading the sensor (0.7 s): only a daemon
        # that reads the sensor itself sees it.
        self.wave(0.3, since)
        wait_for(lambda: self.call_state(call) == ACTIVE, 'the call to turn active')
        self.wait_released(since)
        self.assertEqual(len(self.daemon_calls('Accept', since)), 1)

    def test_a_caller_giving_up_while_it_rings_leaves_no_claim_and_no_reading(self):
        since = self.start_daemon()
        call = self.ring()
        self.wait_claimed(since)
        self.caller_hangs_up(call)
        self.wait_released(since)
        self.wait_said('kCTCall State: 5', 'the tweak to see the call end')
        self.assert_quiet('after the caller gave up')
        self.assertEqual(len(self.daemon_calls('ClaimProximity', since)), 1)
        self.assertEqual(len(self.daemon_calls('ReleaseProximity', since)), 1)
        self.assertEqual(self.daemon_calls('Accept', since), [])

    def test_stopping_the_daemon_while_it_reads_the_sensor(self):
        since = self.start_daemon()
        call = self.ring()
        self.wait_claimed(since)
        self.daemon.terminate()
        self.assertEqual(self.daemon.wait(BOUND), 0, self.daemon_output())
        self.wait_released(since)
        self.caller_hangs_up(call)
        self.assert_quiet('after the daemon stopped')

    def test_without_the_sensor_in_sysfs_iio_sensor_proxy_stands_in(self):
        # The daemon finds only the accelerometer; iio-sensor-proxy still serves the sensor.
        iio = os.path.join(self.dir, 'iio')
        os.makedirs(iio)
        os.symlink(os.path.join(self.testbed, ACCELEROMETER), os.path.join(iio, 'iio:device1'))
        since = self.start_daemon(iio)
        self.assertEqual(len(self.said('followed through iio-sensor-proxy instead')), 1)
        call = self.ring()
        wait_for(lambda: self.daemon_calls('ClaimProximity', since), 'the daemon to claim')
        # A cover longer than the service's pace of reading the sensor (0.7 s) is seen.
        self.wave(1.0, since)
        wait_for(lambda: self.call_state(call) == ACTIVE, 'the call to turn active')
        self.wait_released(since)
        self.assertEqual(len(self.daemon_calls('Accept', since)), 1)

    def test_a_refused_answer_is_said_once_and_not_tried_again(self):
        self.allow([MM + '.Device.Control'])  # not .Voice: no answering
        since = self.start_daemon()
        modem_since = self.modem.mark()
        call = self.ring()
        self.wait_claimed(since)
        accept = self.wave(1.0, since)
        refusal = wait_for(lambda: self.system_monitor.answer(accept), 'ModemManager to answer')
        self.assertEqual(refusal.kind, 'err')
        self.wait_said('the modem did not take the call')
        self.assertIn('not authorized', self.said('the modem did not take the call')[0])

        # Another wave while the call still rings reaches the tweak, which has answered already.
        seen = len(self.said('Tel.flag : kCALL_ANSWERED'))
        self.set_proximity(NEAR)
        self.wait_said('Tel.flag : kCALL_ANSWERED', 'the tweak to see the cover', count=seen + 1)
        self.set_proximity(FAR)
        self.wait_said('Tel.flag : kCALL_ANSWERED', 'the tweak to see the uncover',
                       count=seen + 2)
        self.assertEqual(self.call_state(call), RINGING_IN)
        self.assertEqual(len(self.daemon_calls('Accept', since)), 1)
        self.assertEqual(len(self.said('the modem did not take the call')), 1)
        self.assertEqual(self.modem.commands('ATA', modem_since), [])

        self.caller_hangs_up(call)
        self.wait_released(since)
        self.assertIsNone(self.daemon.poll())


class ServicesComeAndGo(RealPhone):

    def test_modem_manager_restarted_while_a_call_rings(self):
        self.addCleanup(self.ensure_modem_manager)
        since = self.start_daemon()
        self.ring()
        self.wait_claimed(since)
        self.processes.stop('modem-manager')
        self.wait_said('the modem service (ModemManager) went away; waiting for it to come back')
        # The call went with it: the sensor is let go at once.
        self.wait_released(since)
        self.modem.caller_hangs_up()
        self.start_modem_manager()
        self.wait_said('the modem service (ModemManager) is running now')
        again = self.system_monitor.mark()
        call = self.ring()
        self.wait_claimed(again)
        self.wave(1.0, again)
        wait_for(lambda: self.call_state(call) == ACTIVE, 'the call to turn active')
        self.assertEqual(len(self.daemon_calls('Accept', since)), 1)
        self.assertEqual(len(self.said('(ModemManager) went away')), 1)
        self.assertEqual(len(self.said('(ModemManager) is running now')), 1)

    def ensure_modem_manager(self):
        if 'modem-manager' not in self.processes.running:
            self.start_modem_manager()

    def test_sound_server_missing_then_started_then_killed(self):
        self.addCleanup(self.ensure_sound)
        self.processes.stop('callaudiod')
        self.processes.stop('sound-server')
        self.start_daemon()
        self.wait_said('the sound server (PulseAudio or PipeWire) is not running; waiting for it')
        self.start_sound_server()
        self.wait_said('the sound server is running now')
        self.processes.stop('sound-server', signal.SIGKILL)
        self.wait_said('the sound server went away; waiting for it to come back')
        self.start_sound_server()
        self.wait_said('the sound server is running now', 'the daemon to find it again', count=2)
        # Each change said once, as it happened.
        self.assertEqual(len(self.said('(PulseAudio or PipeWire) is not running')), 1)
        self.assertEqual(len(self.said('the sound server went away')), 1)
        self.assertEqual(len(self.said('the sound server is running now')), 2)
        self.assertIsNone(self.daemon.poll())

    def ensure_sound(self):
        if 'sound-server' not in self.processes.running:
            self.start_sound_server()
        if 'callaudiod' not in self.processes.running:
            self.start_call_audio()


if __name__ == '__main__':
    unittest.main()
