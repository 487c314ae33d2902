"""``python -m combined_source.utils``: the post-processor's command line."""
import os
import sys

from .cli import main

# Usage and messages name the command as it was called.
sys.exit(main(prog="%s -m %s" % (os.path.basename(sys.executable) or "python", __package__)))
