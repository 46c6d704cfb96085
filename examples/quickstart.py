"""A first look at vesk: import the module and show what was installed.

Run it with the project's virtual environment after `make demo`:

    .venv/bin/python examples/quickstart.py

This grows with the library: timers, the engine and the control socket are
shown here as they become available.
"""

import vesk


def main() -> None:
    print(f"vesk {vesk.__version__}")
    print(f"  module: {vesk.__file__}")
    print(f"  about:  {vesk.__doc__}")


if __name__ == "__main__":
    main()
