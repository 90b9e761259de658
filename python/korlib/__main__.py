"""python3 -m korlib export CAPTURE.pcap --csv OUT.csv | --json OUT.jsonl"""

import sys

from .export import main

sys.exit(main())
