"""vantrel: tooling around the ``model_inference`` inference engine.

The engine itself is the compiled module :mod:`model_inference`; this
package holds the Python-side tools (model-file writer, command line).
"""

__version__ = "0.1.0"

from vantrel.convert import ConversionError, convert
from vantrel.model_file import ModelBuilder, read_weights, write_weights

__all__ = ["__version__", "ConversionError", "ModelBuilder", "convert", "read_weights",
           "write_weights"]
