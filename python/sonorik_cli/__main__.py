import sys

from sonorik_cli.main import main

if __name__ == "__main__":
    sys.exit(main())
