"""The streams the tests receive: FLV tags read back, and ffmpeg as the judge."""
import struct
import subprocess

# ffmpeg's null output counts video in ticks of the guessed frame rate. FLV times are whole
# milliseconds, so frames of a 30 fps stream lie 33 or 34 ms apart, and where the first one falls
# near half a tick two neighbours round onto one tick and ffmpeg reports "non monotonically
# increasing dts" for a stream that is correct. Counted in milliseconds, every frame keeps its own
# time and only a real repeat is reported.
MS_CLOCK = ["-enc_time_base:v", "1:1000"]
# Every frame with its own time as it stands, for streams where two pictures may share a
# millisecond (a frame-rate change on the simulated DSP can hand out two pictures whose capture
# instants are a microsecond apart); the null muxer would complain about the equal time stamps,
# which is no decoding matter.
VARIABLE_RATE = ["-fps_mode", "vfr"]


def parse_flv(data):
    """(tags, trailing bytes): tags as (type, timestamp, payload); PreviousTagSize is checked."""
    assert data[:3] == b"FLV" and data[3] == 1, "no FLV header"
    assert struct.unpack(">I", data[5:9])[0] == 9 and data[9:13] == b"\0\0\0\0"
    tags, at = [], 13
    while at + 11 <= len(data):
        size = int.from_bytes(data[at + 1:at + 4], "big")
        if at + 15 + size > len(data):
            break
        ts = int.from_bytes(data[at + 4:at + 7], "big") | (data[at + 7] << 24)
        assert struct.unpack(">I", data[at + 11 + size:at + 15 + size])[0] == 11 + size, "PreviousTagSize"
        tags.append((data[at], ts, data[at + 11:at + 11 + size]))
        at += 15 + size
    return tags, len(data) - at


def decode_command(path, *output_args, timing=MS_CLOCK, first_error=True):
    """The ffmpeg command that decodes `path` to nothing (stopping at the first error when
    `first_error`); more outputs may follow it."""
    return (["ffmpeg", "-nostdin", "-v", "error"] + (["-xerror"] if first_error else []) + ["-i", path] +
            list(output_args) + list(timing) + ["-f", "null", "-"])


def decode(path, *output_args, timing=MS_CLOCK, first_error=True):
    """ffmpeg decodes `path` to nothing; (status, what it printed)."""
    r = subprocess.run(decode_command(path, *output_args, timing=timing, first_error=first_error),
                       capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr
