"""Writing or checking a generated source: the tail every table script of the image controller shares."""
import os
import sys


def emit(path, text, argv, script):
    """Writes text to path; with --check in argv compares instead and returns 1 on a difference."""
    if '--check' in argv:
        with open(path) as f:
            if f.read() != text:
                print('%s differs from what %s computes' % (path, os.path.basename(script)), file=sys.stderr)
                return 1
        return 0
    with open(path, 'w') as f:
        f.write(text)
    return 0
