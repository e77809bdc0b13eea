"""`python -m talmiro_sdk_video`: what this build of the codec module can do."""

import sys

from . import _codec


def main() -> int:
    print(f"libavcodec {_codec.avcodec_version()}")
    for name in ("libx264", "h264_nvenc"):
        print(f"encoder {name}: {'yes' if _codec.has_encoder(name) else 'no'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
