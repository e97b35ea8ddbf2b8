"""The `_sonorik` module object, initialised from the same compiled library as
`sonorik`, so both modules share their functions' implementation and the two
result classes."""

import importlib.machinery
import importlib.util
import sys

import sonorik as _library

_loader = importlib.machinery.ExtensionFileLoader(__name__, _library.__file__)
_spec = importlib.util.spec_from_file_location(__name__, _library.__file__, loader=_loader)
_module = importlib.util.module_from_spec(_spec)
_loader.exec_module(_module)
sys.modules[__name__] = _module
