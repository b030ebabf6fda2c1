"""Python bindings for the vantrel inference engine."""

def set_backend(name: str = "cpu") -> bool:
    """Select the active backend."""

def active_backend() -> str:
    """Return the name of the currently active backend ('cpu', 'cuda', or 'metal')."""

def _kernel_path() -> str: ...
def _supported_kernel_paths() -> list[str]: ...
