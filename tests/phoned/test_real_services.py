"""orvella-phoned against the real services of a Linux phone: a call rings on a modem that
ModemManager drives, a hand covers a proximity sensor that iio-sensor-proxy serves and the
daemon reads, polkit grants or refuses the answer, callaudiod refuses the speaker for want of a
sound card, and services go away and come back."""

import time
import unittest

from phone import wait_for
from real_phone import ACTIVE, CALL_AUDIO, MM, MODEM_ACTIONS, RealPhone

SPEAKER_DELAY = 1.9  # the speaker follows the answer by 2 s of the daemon's clock


class Calls(RealPhone):

    def speaker_calls(self, since):
        return self.session_monitor.calls('EnableSpeaker', since, CALL_AUDIO)

    def assert_quiet(self, after):
        """Nobody reads the proximity sensor while the daemon's own clock runs on: another call
        rings with the phone face down, and the daemon samples the accelerometer (every 0.8 s)
        without arming the sensor. A sensor still read at the daemon's pace would be read dozens
        of times meanwhile."""
        if self.daemon is None or self.daemon.poll() is not None:
            self.start_daemon()
        start = self.reads.mark()
        self.set_pose('down')
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


if __name__ == '__main__':
    unittest.main()
