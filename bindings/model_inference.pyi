"""Python bindings for the vantrel inference engine."""

from typing import Any, overload

import numpy
import numpy.typing

def set_backend(name: str = "cpu") -> bool:
    """Select the active backend.

    Args:
        name: 'cpu' (default), 'cuda', or 'metal'

    Returns:
        True if the backend was found and activated.
    """

def active_backend() -> str:
    """Return the name of the currently active backend ('cpu', 'cuda', or 'metal')."""

class InputSpec:
    """Descriptor for one model input (shape, dtype, and quantization params)."""

    @property
    def name(self) -> str:
        """ModelIOTensor name in the arch graph."""
    @property
    def shape(self) -> list[int]:
        """Input shape in NHWC order, e.g. [224,224,3] or [80] for flat. 0 in a dimension means variable (supplied at runtime)."""
    @property
    def scale(self) -> float:
        """INT8 quantization scale."""
    @property
    def zp(self) -> int:
        """INT8 zero point."""
    @property
    def dtype(self) -> str:
        """'int8' or 'float32'."""

# Threads: construction and forward passes release the interpreter lock while
# the engine computes, so models used from different threads run at the same
# time. One model may be shared between threads: its calls are serialised by
# a lock of its own (each caller waits for the one before).
class InferenceModel:
    """Generic graph-based inference model.

    Loads a JSON architecture file and a W1X1 binary weights file,
    then exposes a ``forward()`` method for running inference.
    """

    def __init__(self, arch_path: str, weights_path: str, *, memory_limit: int | str | None = None) -> None:
        """Load model from a JSON arch file and a W1X1 binary weights file.

        Raises RuntimeError if either file cannot be opened.
        """
    @overload
    def forward(self, input: numpy.ndarray) -> numpy.typing.NDArray[numpy.float32]:
        """Run a single-input forward pass (returns a 1-D float32 array).

        The array has the input's declared shape (a 0 takes any length of at
        least 1; axes of length 1 may be added or left out) or is flat with
        exactly its values. An array (N, ...) of such samples is a batch: the
        N samples run together where they can (each result bit for bit as if
        run alone) and the result is (N, K). Any other shape
        raises RuntimeError naming both shapes. A batch of token ids for a
        model without an attention mask input is refused.
        """
    @overload
    def forward(self, inputs: dict[str, numpy.ndarray]) -> dict[str, numpy.typing.NDArray[numpy.float32]]:
        """Run a multi-input / multi-output forward pass.

        Each array follows the shape rules of forward(input); either every
        input is a batch of the same N (outputs (N, K)) or none is. Padded
        token ids go with the model's attention mask input (1 token, 0 pad).
        """
    @property
    def model_name(self) -> str:
        """Model name string from the arch JSON."""
    @property
    def input_count(self) -> int:
        """Number of declared model inputs."""
    @property
    def inputs(self) -> list[InputSpec]:
        """List of InputSpec descriptors (one per model input)."""
    @property
    def output_names(self) -> list[str]:
        """List of declared output tensor names."""
    @property
    def is_fp32(self) -> bool:
        """True when the first declared input is float32."""
    @property
    def input_h(self) -> int:
        """First input height in NHWC layout."""
    @property
    def input_w(self) -> int:
        """First input width in NHWC layout."""
    @property
    def input_c(self) -> int:
        """First input channel count in NHWC layout."""
    @property
    def num_classes(self) -> int:
        """Classifier class-count hint. Returns 1000 for ImageNet classifier models, otherwise 0."""
    def op_profile(self) -> dict[str, float]:
        """Return per-op accumulated timing as dict[str, float] (milliseconds)."""
    def layer_profile(self) -> dict[str, float]:
        """Return per-layer accumulated timing as dict[str, float] (milliseconds)."""
    def set_profile_enabled(self, enabled: bool) -> None:
        """Enable or disable per-op and per-layer profiling."""
    @property
    def profile_enabled(self) -> bool:
        """True when profiling is enabled."""
    def set_speed(self, speed: float) -> None:
        """Set TTS duration speed. 1.0 is normal, larger is faster, smaller is slower."""
    @property
    def speed(self) -> float:
        """Current TTS duration speed."""
    @property
    def memory_limit(self) -> int:
        """Bytes of tensors, scratch and caches this model may hold (the constructor's memory_limit, else VANTREL_MEMORY_LIMIT, else a quarter of physical memory)."""
    def load_stats(self) -> dict[str, int]:
        """Weight-loading statistics: peak_tensor_bytes, packed_blocks, shared_packed_blocks, shared_packed_bytes."""
    def reset_profile(self) -> None:
        """Clear accumulated profiling timings."""
    @overload
    def forward_step(self, input: numpy.ndarray, *, last_only: bool = False) -> numpy.typing.NDArray[numpy.float32]:
        """Run one decoding step with a single input.

        Like forward(input), but the causal attention layers attend to the
        tokens cached by earlier steps: the step's tokens go to positions
        position .. position + T - 1, then position advances by T (the
        tokens of the step). forward() and reset_cache() start a new
        sequence. Raises RuntimeError when position + T exceeds
        cache_capacity; the position is then unchanged. With last_only
        the result holds only the last position's values (for a prompt:
        the logits that pick the next token), and the nodes that work
        row by row after the last other node (a decoder's final norm and
        head) run for that position alone. A batch of more than one
        sample is refused.
        """
    @overload
    def forward_step(self, inputs: dict[str, numpy.ndarray], *, last_only: bool = False) -> dict[str, numpy.typing.NDArray[numpy.float32]]:
        """Run one decoding step with inputs by name.

        Like forward(inputs), at the current position, which then advances
        by the step's tokens (see forward_step(input)); last_only keeps
        only the last position of each output.
        """
    def reset_cache(self) -> None:
        """Start a new sequence: position back to 0 (the cache memory is kept)."""
    def reserve_cache(self, capacity: int) -> None:
        """Reserve the key/value cache of every causal attention layer for
        `capacity` positions (at least 1). The sequence in progress keeps
        its position and cached tokens; a capacity below the position
        raises RuntimeError (call reset_cache() first).

        Without it the capacity is the largest 'max_seq_len' a causal node
        declares, or 2048.
        """
    @property
    def position(self) -> int:
        """Tokens already in the key/value cache: the position of the next forward_step."""
    @property
    def cache_capacity(self) -> int:
        """Positions the key/value cache holds (reserved before the first pass)."""

def _kernel_path() -> str: ...
def _supported_kernel_paths() -> list[str]: ...
def _op_schema() -> dict[str, dict[str, Any]]:
    """Every op the engine knows: name -> {code, aliases, input_dtype, output_dtype, args}, where
    args maps each argument key to {type: 'int'|'float'|'bool', default} (plus optional: True
    for a key beyond the op's fixed argument table)."""
