"""vantrel: tooling around the ``model_inference`` inference engine.

The engine itself is the compiled module :mod:`model_inference`; this
package holds the Python-side tools: the model-file writer and reader
(:mod:`vantrel.model_file`), the PyTorch converters (:mod:`vantrel.convert`,
one module per model family), int8 quantisation (:mod:`vantrel.quantize`),
seeded reference networks (:mod:`vantrel.models`), text generation
(:class:`Generator`, :mod:`vantrel.generation`), sentence embeddings
(:class:`SentenceEncoder`, :mod:`vantrel.embeddings`) and the command line.
"""

__version__ = "0.1.0"

# The package vantrel.convert is callable: convert(module, example_input).
from vantrel import convert
from vantrel.convert import ConversionError
from vantrel.embeddings import SentenceEncoder
from vantrel.generation import Generator
from vantrel.model_file import ModelBuilder, read_weights, write_weights

__all__ = ["__version__", "ConversionError", "Generator", "ModelBuilder", "SentenceEncoder",
           "convert", "read_weights", "write_weights"]
