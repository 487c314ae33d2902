"""``python -m combined_source.utils``: the post-processor's command line."""
import sys

from .cli import main

sys.exit(main())
