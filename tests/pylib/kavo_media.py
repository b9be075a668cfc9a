"""ffmpeg as the judge of the streams the tests receive."""
import subprocess

# ffmpeg's null output counts video in ticks of the guessed frame rate. FLV times are whole
# milliseconds, so frames of a 30 fps stream lie 33 or 34 ms apart, and where the first one falls
# near half a tick two neighbours round onto one tick and ffmpeg reports "non monotonically
# increasing dts" for a stream that is correct. Counted in milliseconds, every frame keeps its own
# time and only a real repeat is reported.
MS_CLOCK = ["-enc_time_base:v", "1:1000"]


def decode(path, *output_args):
    """ffmpeg decodes `path` to nothing, stopping at the first error; (status, what it printed)."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", path] + list(output_args) + MS_CLOCK +
                       ["-f", "null", "-"], capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr
