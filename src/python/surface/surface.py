# The Python surface of tallowind_ara2, in one place: every name the module
# registers, in registration order, with its parameters, defaults, type
# annotations and docstrings, written as the type stub users see.
#
# generate.py (beside this file) runs at build time and derives from it the
# docstrings and text signatures of the C++ layer ("load_model($self,
# model_path)\n--\n\n..."), the parameter tables the argument binder reads,
# the property lists and the registration order (generated/surface.hpp in
# the build tree), and the shipped tallowind_ara2.pyi (this file from its
# docstring on, less the @internal classes). The tests compare it with the
# live module. So renaming a parameter or changing a docstring is one edit
# here.
#
# The rules generate.py holds it to:
# - Docstrings are the exact texts help() shows, indented as usual: each is
#   dedented the way inspect.cleandoc does. A member without one has none.
# - Declaration order is registration order; __all__ names the exported
#   attributes, in that order. A name declared but not in __all__ is still a
#   module attribute.
# - @internal marks a class that exists at run time but is no module
#   attribute; it stays out of the stub.
# - Names with one leading underscore (type aliases, protocols) exist for
#   type checkers only.
# - Methods name their receiver self; parameters are positional-or-keyword,
#   defaults are literals. Positional-only parameters (/) mark dunders that
#   are type slots, which the header leaves alone.
"""Tallowind ARA-2 Python Library

Python bindings for the ARA-2 neural accelerator client library.

Example:
    >>> import tallowind_ara2
    >>> session = tallowind_ara2.Session.connect()
    >>> endpoints = session.list_endpoints()
    >>> model = endpoints[0].load_model("model.dvm")
    >>> model.allocate_tensors("dma")
    >>> timing = model.run()
"""

import os
import pathlib
from collections.abc import Callable, Iterator, Sequence
from types import TracebackType
from typing import Any, ClassVar, Final, Literal, Protocol, TypeAlias, final

import numpy as np
from numpy.typing import NDArray

_StrPath: TypeAlias = str | os.PathLike[str]
_MemoryKind: TypeAlias = Literal["dma", "shm", "mem"]
_OutputDType: TypeAlias = np.int8 | np.uint8 | np.int16 | np.uint16 | np.float32

class _SupportsToBytes(Protocol):
    # set_input_tensor only ever calls tobytes(): ndarray, memoryview and array.array all fit.
    def tobytes(self) -> bytes: ...

# One input, or a list or tuple with one per model input.
_Frame: TypeAlias = _SupportsToBytes | list[_SupportsToBytes] | tuple[_SupportsToBytes, ...]

__all__ = [
    "__version__",
    "DEFAULT_SOCKET",
    "SOCKET_PATHS",
    "Ara2Error",
    "LibraryError",
    "HardwareError",
    "ProxyError",
    "ModelError",
    "TensorError",
    "MetadataError",
    "Session",
    "Proxy",
    "ProxyEndpoint",
    "Endpoint",
    "Model",
    "InferRequest",
    "Abi",
    "State",
    "DramStatistics",
    "ModelTiming",
    "InputQuantization",
    "InputPreprocess",
    "OutputQuantization",
    "ModelOutputType",
    "InputTensorInfo",
    "OutputTensorInfo",
    "DvmMetadata",
    "DatasetInfo",
    "ModelInfo",
    "DeploymentInfo",
    "InputSpec",
    "OutputSpec",
    "CompilationInfo",
    "PpaMetrics",
    "Ara2Info",
    "read_metadata",
    "read_labels",
    "has_metadata",
    "socket_path",
    "discover",
]

__version__: Final[str]
DEFAULT_SOCKET: Final[str]
SOCKET_PATHS: list[str]

class Ara2Error(RuntimeError):
    """Base class for every error raised by this module."""

class LibraryError(Ara2Error):
    """The libaraclient client library could not be loaded or is not a supported DVAPI generation."""

class HardwareError(Ara2Error):
    """The NPU or an endpoint reported a fault."""

class ProxyError(Ara2Error):
    """The proxy could not be reached, or its configuration could not be used."""

class ModelError(Ara2Error):
    """A model failed to load, or an inference failed."""

class TensorError(Ara2Error):
    """A tensor could not be allocated, mapped or registered."""

class MetadataError(Ara2Error):
    """The metadata inside a .dvm archive could not be read."""

@internal
class InternalFailure(BaseException):
    """An internal invariant of tallowind_ara2 was broken.

    This signals a bug or an unusable client library rather than an error
    of the accelerator stack, so it derives from BaseException and is not
    caught by ``except Exception``.
    """

@final
class Session:
    """ARA-2 session for communicating with the proxy.

    A Session represents a connection to the ARA-2 proxy service, which can
    be established via either a UNIX socket or TCP socket. The session is used
    to enumerate endpoints and retrieve version information.

    Example:
        >>> import tallowind_ara2
        >>> session = tallowind_ara2.Session.connect()
        >>> versions = session.versions()
        >>> endpoints = session.list_endpoints()
        >>> session.close()
    """

    @staticmethod
    def connect() -> Session:
        """Create a session connected to the ARA-2 proxy over its UNIX socket,
        at the path `socket_path()` resolves.

        This is the recommended way to connect. Use
        `create_via_unix_socket` directly when the path must be hardcoded
        or is chosen some other way.

        Returns:
            Session: A new session connected to the proxy

        Raises:
            ProxyError: If the socket does not exist or the proxy is not running
        """

    @staticmethod
    def from_config(path: _StrPath) -> Session:
        """Create a session from a proxy configuration file.

        Reads the ``proxy:`` section's ``interface_type`` and the address
        list it selects, then connects to the first endpoint declared --
        a UNIX socket for ``SOCKET``, a TCP/IPv4 address for ``IPV4``.
        Use this when the configuration is known but the socket path is
        not, which is the usual case across packagings.

        Args:
            path: Path to the proxy YAML (str or os.PathLike)

        Returns:
            Session: A new session connected to the proxy

        Raises:
            ProxyError: If the file cannot be read or understood, or it
                        declares no reachable endpoint
        """

    @staticmethod
    def create_via_unix_socket(socket_path: _StrPath) -> Session:
        """Create a session connected via UNIX domain socket.

        Args:
            socket_path: Path to the UNIX socket (str or os.PathLike,
                         e.g., "/var/run/proxy.sock")

        Returns:
            Session: A new session connected to the proxy

        Raises:
            ProxyError: If the socket does not exist or the proxy is not running
        """

    @staticmethod
    def create_via_tcp_ipv4_socket(ip: str, port: int) -> Session:
        """Create a session connected via TCP/IPv4 socket.

        Args:
            ip: IPv4 address as a string (e.g., "127.0.0.1")
            port: Port number

        Returns:
            Session: A new session connected to the proxy
        """

    def versions(self) -> dict[str, str]:
        """Get version information for all components.

        Returns:
            dict: Dictionary mapping component names to version strings
        """

    def list_endpoints(self) -> list[Endpoint]:
        """List all available endpoints.

        Returns:
            list[Endpoint]: List of available ARA-2 endpoints
        """

    def inflight_count(self) -> int:
        """Get the number of in-flight inference requests for this session.

        Returns the count of requests submitted via :meth:`Model.submit`
        that the client library has not yet received a response for.

        Returns:
            int: Number of pending inference requests
        """

    @property
    def socket_type(self) -> Literal["unix", "tcp"]:
        """Get the socket type used for this session."""

    @property
    def abi(self) -> Abi:
        """The DVAPI generation of the ``libaraclient`` this session uses.

        Probed when the library was opened. It determines which of the
        overlapping :class:`State` members can be reported.
        """

    @property
    def dvapi_version(self) -> str | None:
        """The DVAPI version the client library reported, or ``None`` if it
        would not report one.

        This is the interface version, not the version of the SDK the
        library was packaged in.
        """

    def close(self) -> None:
        """Close this Python session handle.

        After calling ``close()``, any further method call on this
        Session raises ``Ara2Error``. This only drops this Python
        handle; the underlying proxy connection may remain open while
        other objects created from this session (such as ``Endpoint``
        or ``Model``) are still alive. The underlying connection is
        released when the last handle referencing it is dropped. Safe
        to call multiple times.
        """

    def __enter__(self) -> Session: ...

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]: ...

@final
class Proxy:
    """A running ARA-2 proxy found by :func:`discover`."""

    @property
    def pid(self) -> int:
        """Process ID of the running proxy."""

    @property
    def endpoints(self) -> list[ProxyEndpoint]:
        """Where it accepts connections. Empty when neither reading its file
        descriptors nor its configuration file was possible.
        """

    @property
    def config(self) -> pathlib.Path | None:
        """The configuration file named on its command line, if it named one."""

    @property
    def exe(self) -> pathlib.Path | None:
        """Its executable, if readable."""

    def connect(self) -> Session:
        """Open a session against this proxy's first endpoint."""

@final
class ProxyEndpoint:
    """An address a proxy accepts connections on.

    ``kind`` is ``"unix"`` or ``"tcp"``. ``path`` is set for the former,
    ``host`` and ``port`` for the latter.
    """

    @property
    def kind(self) -> Literal["unix", "tcp"]:
        """Transport: ``"unix"`` or ``"tcp"``."""

    @property
    def path(self) -> pathlib.Path | None:
        """Socket path, for a ``"unix"`` endpoint; ``None`` otherwise."""

    @property
    def host(self) -> str | None:
        """IPv4 address, for a ``"tcp"`` endpoint; ``None`` otherwise."""

    @property
    def port(self) -> int | None:
        """TCP port, for a ``"tcp"`` endpoint; ``None`` otherwise."""

    def connect(self) -> Session:
        """Open a session against this endpoint."""

@final
class Endpoint:
    """ARA-2 accelerator endpoint.

    An endpoint represents a single ARA-2 accelerator device that can load
    and execute neural network models.
    """

    def check_status(self) -> State:
        """Check the current status/state of the endpoint.

        Returns:
            State: Current endpoint state
        """

    def dram_statistics(self) -> DramStatistics:
        """Get DRAM statistics for the endpoint.

        Returns:
            DramStatistics: Memory usage information
        """

    def load_model(self, model_path: _StrPath) -> Model:
        """Load a neural network model from a file.

        Args:
            model_path: Path to the compiled model file (.dvm)

        Returns:
            Model: Loaded model ready for inference
        """

@final
class Model:
    """Neural network model loaded on an endpoint.

    The Model class provides methods to run inference on a loaded neural network.
    Input and output tensors are accessed via zero-based indices.

    Model supports the context-manager protocol. The model is unloaded from
    the NPU when the last Python reference to it is garbage-collected; a
    ``with`` statement releases it promptly when the block is left instead.

    Example:
        >>> with endpoint.load_model("model.dvm") as model:
        ...     model.allocate_tensors()
        ...     model.set_input_tensor(0, input_data)
        ...     timing = model.run()
        ...     output = model.get_output_tensor(0)
    """

    @property
    def n_inputs(self) -> int:
        """Number of input tensors."""

    @property
    def n_outputs(self) -> int:
        """Number of output tensors."""

    def input_info(self, index: int) -> InputTensorInfo:
        """Get detailed information about an input tensor.

        Raises:
            IndexError: If index is out of range
        """

    def output_info(self, index: int) -> OutputTensorInfo:
        """Get detailed information about an output tensor.

        Raises:
            IndexError: If index is out of range
        """

    def input_shape(self, index: int) -> tuple[int, int, int]:
        """Get the shape of an input tensor as (channels, height, width).

        Raises:
            IndexError: If index is out of range
        """

    def output_shape(self, index: int) -> tuple[int, int, int]:
        """Get the shape of an output tensor as (channels, height, width).

        Raises:
            IndexError: If index is out of range
        """

    def input_size(self, index: int) -> int:
        """Get the size in bytes of an input tensor.

        Raises:
            IndexError: If index is out of range
        """

    def output_size(self, index: int) -> int:
        """Get the size in bytes of an output tensor.

        Raises:
            IndexError: If index is out of range
        """

    def input_bpp(self, index: int) -> int:
        """Get the bytes per element for an input tensor.

        Raises:
            IndexError: If index is out of range
        """

    def output_bpp(self, index: int) -> int:
        """Get the bytes per element for an output tensor.

        Raises:
            IndexError: If index is out of range
        """

    def input_quants(self, index: int) -> InputQuantization:
        """Get quantization parameters for an input tensor.

        Raises:
            IndexError: If index is out of range
        """

    def output_quants(self, index: int) -> OutputQuantization:
        """Get quantization parameters for an output tensor.

        Raises:
            IndexError: If index is out of range
        """

    def input_preprocess(self, index: int) -> InputPreprocess:
        """Get preprocessing parameters for an input tensor.

        Returns the per-channel ``mean`` and ``scale`` used to normalize
        float input data before quantization, plus layout-affecting flags
        (``bgr_to_rgb``, ``aspect_resize``, ``mirror``, ``center_crop``).

        Raises:
            IndexError: If index is out of range
        """

    def set_timeout_ms(self, timeout_ms: int) -> None:
        """Set the inference timeout in milliseconds.

        Args:
            timeout_ms: Timeout in milliseconds (default: 1000)
        """

    def allocate_tensors(self, memory: _MemoryKind | None = None) -> None:
        """Allocate input and output tensors for this model.

        Must be called before ``run()``, ``set_input_tensor()``, or any
        tensor accessor method.

        Args:
            memory: Memory type for tensor allocation. One of ``"dma"``,
                    ``"shm"``, ``"mem"``, or ``None`` for auto-selection
                    (tries DMA first). Use ``"dma"`` for zero-copy workflows
                    with tallowind-image.
        """

    def create_tensor_set(self, memory: _MemoryKind | None = None) -> TensorSet:
        """Allocate a further set of input and output tensors for this model.

        Each set holds the inputs and outputs of one request, so several
        requests can be in flight on one loaded model: write a set's
        inputs, ``submit()`` it, and read its outputs after ``wait()``,
        while other sets carry other requests. The model's own tensors
        (``allocate_tensors()``) are one such set. ``memory`` is chosen as
        for ``allocate_tensors()``.

        Args:
            memory: ``"dma"``, ``"shm"``, ``"mem"``, or ``None`` for
                    auto-selection (tries DMA first)

        Returns:
            TensorSet: The new set; it belongs to this model and thread

        Raises:
            Ara2Error: If the model is closed or the memory type is unknown
            TensorError: If a tensor cannot be allocated
        """

    def input_tensor_memory(self, index: int) -> _MemoryKind:
        """Get the memory type of an input tensor.

        Args:
            index: Input tensor index (0-based)

        Returns:
            str: ``"dma"``, ``"shm"``, or ``"mem"``

        Raises:
            IndexError: If index is out of range
            TensorError: If tensors are not allocated
        """

    def output_tensor_memory(self, index: int) -> _MemoryKind:
        """Get the memory type of an output tensor.

        Args:
            index: Output tensor index (0-based)

        Returns:
            str: ``"dma"``, ``"shm"``, or ``"mem"``

        Raises:
            IndexError: If index is out of range
            TensorError: If tensors are not allocated
        """

    def input_tensor_fd(self, index: int) -> int:
        """Get a cloned DMA-BUF file descriptor for an input tensor.

        The returned FD is owned by the caller. Pass it to
        ``tallowind.image.ImageProcessor.import_image()`` for zero-copy GPU
        preprocessing. That call duplicates the FD internally, so close the
        returned FD with ``os.close()`` when done.

        Args:
            index: Input tensor index (0-based)

        Returns:
            int: File descriptor for the input tensor's DMA-BUF

        Raises:
            IndexError: If index is out of range
            TensorError: If tensors are not allocated or use system memory
        """

    def output_tensor_fd(self, index: int) -> int:
        """Get a cloned DMA-BUF file descriptor for an output tensor.

        The returned FD is owned by the caller. Pass it to
        ``tallowind.tensor.Tensor.from_fd()`` to decode the raw NPU output
        without a copy. ``from_fd`` takes ownership of the FD — do not close
        it yourself in that case.

        Args:
            index: Output tensor index (0-based)

        Returns:
            int: File descriptor for the output tensor's DMA-BUF

        Raises:
            IndexError: If index is out of range
            TensorError: If tensors are not allocated or use system memory
        """

    def run(self) -> ModelTiming:
        """Run inference on the model.

        Tensors must be allocated via ``allocate_tensors()`` before calling
        this method.

        Returns:
            ModelTiming: Timing information for the inference run

        Raises:
            TensorError: If tensors have not been allocated
        """

    def submit(self) -> InferRequest:
        """Submit inference asynchronously.

        Returns an :class:`InferRequest` handle immediately. Call
        :meth:`InferRequest.wait` to block until the result is ready.

        The model's tensors must not be reallocated (via
        ``allocate_tensors()``) while the request is pending.

        Returns:
            InferRequest: Handle for the pending inference

        Raises:
            TensorError: If tensors have not been allocated
        """

    def set_input_tensor(self, index: int, data: _SupportsToBytes) -> None:
        """Copy numpy array data into an input tensor.

        Args:
            index: Input tensor index (0-based)
            data: numpy array whose total byte count matches the tensor
                  size. Any dtype (uint8, int8, uint16, int16, float32,
                  etc.) is accepted; the underlying buffer is copied
                  verbatim into the tensor, so the dtype must already
                  match what the model expects.

        Raises:
            IndexError: If index is out of range
            TensorError: If tensors are not allocated or sizes don't match
        """

    def set_input_image(
        self,
        index: int,
        image: NDArray[np.uint8],
        color: Literal["bgr", "rgb"] = "bgr",
        interpolation: Literal["linear", "nearest"] = "linear",
        fill: int = 114,
        crop_ratio: float = 0.875,
        threads: int = 1,
    ) -> Geometry:
        """Write an image into an input tensor the way the model asks for it.

        One native pass, driven by the input's own description
        (``input_info``, ``input_preprocess``, ``input_quants``): the
        geometry (a centre crop when ``center_crop`` is set, else a
        letterbox when ``aspect_resize`` is set, else a stretch to the
        input's width and height; then a horizontal flip when ``mirror``
        is set), the channel order (RGB when ``bgr_to_rgb`` is set, BGR
        otherwise), ``(pixel - mean[c]) * scale[c]`` in float32,
        ``rint(x / qn) + offset`` saturated to uint8 or int8, and the
        tensor's layout (planar ``CHW``/``NCHW`` or interleaved
        ``HWC``/``NHWC``). Resizing gives what OpenCV's ``cv2.resize``
        gives with the same interpolation. The interpreter lock is
        released while it works.

        Args:
            index: Input tensor index (0-based)
            image: ``uint8`` array of height x width x 3 (or height x width,
                   or height x width x 1, for a one-channel input), with
                   any strides: a crop of a larger frame can be passed as
                   a view
            color: The image's channel order, ``"bgr"`` (OpenCV's) or
                   ``"rgb"``
            interpolation: ``"linear"`` (``cv2.INTER_LINEAR``) or
                           ``"nearest"`` (``cv2.INTER_NEAREST``)
            fill: The letterbox bars, in pixel values (0-255)
            crop_ratio: For a centre crop, the share of the largest
                        window of the input's aspect ratio that is kept
            threads: Native threads the rows are split over (1 to 16)

        Returns:
            Geometry: Where the image landed in the tensor;
            ``to_source()`` maps boxes back to the image

        Raises:
            IndexError: If index is out of range
            TypeError: If the image is not a uint8 array
            ValueError: If the image's shape or an argument does not fit
                        the input; the tensor is left unchanged
            TensorError: If tensors are not allocated, the input's bytes
                         per element or layout cannot take an image, or a
                         pending request is using the inputs
        """

    def get_output_tensor(self, index: int) -> NDArray[_OutputDType]:
        """Get output tensor data as a typed numpy array.

        The dtype is derived from the tensor's quantization metadata:

        - ``bpp == 1`` and ``is_signed`` → ``int8``
        - ``bpp == 1`` and not signed → ``uint8``
        - ``bpp == 2`` and ``is_signed`` → ``int16``
        - ``bpp == 2`` and not signed → ``uint16``
        - ``bpp == 4`` → ``float32``

        The returned array is reshaped to the tensor's declared shape
        ``(channels, height, width)``; callers that need the legacy flat
        layout can call ``.ravel()``.

        Args:
            index: Output tensor index (0-based)

        Returns:
            numpy.ndarray: Shaped, typed view of the output tensor data

        Raises:
            IndexError: If index is out of range
            TensorError: If tensors are not allocated or have an unsupported bpp
        """

    def dequantize(self, index: int) -> NDArray[np.float32]:
        """Dequantize an output tensor to ``float32``.

        Uses the model's quantization mode (read from input 0) and the
        output tensor's ``(qn, offset)`` pair. Currently only qmode 9
        (asymmetric) is supported; other modes raise ``Ara2Error``.
        The returned array has the tensor's declared ``(C, H, W)`` shape.

        Args:
            index: Output tensor index (0-based)

        Returns:
            numpy.ndarray: ``float32`` array reshaped to ``(C, H, W)``

        Raises:
            IndexError: If index is out of range
            TensorError: If tensors are not allocated
            Ara2Error: If the model uses an unsupported qmode
        """

    def close(self) -> None:
        """Unload the model and release its resources.

        After calling ``close()``, any further method call raises
        ``Ara2Error``. Safe to call multiple times.
        """

    def __enter__(self) -> Model: ...

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]: ...

# Owns the memory of each array get_output_tensor and dequantize return (the
# array's base); made only by the module.
@internal
@final
class PySliceContainer: ...

@final
class InferRequest:
    """A pending asynchronous inference request.

    Created by :meth:`Model.submit`. Call :meth:`wait` to block until the
    NPU finishes and retrieve timing information. The GIL is released
    during ``wait()`` so other Python threads can run.

    The underlying request is freed automatically when the object is
    garbage-collected or when ``wait()`` returns.

    Example::

        request = model.submit()
        # ... pre-process next frame while NPU is busy ...
        timing = request.wait()
    """

    def wait(self, timeout_ms: int = 1000) -> ModelTiming:
        """Block until the inference completes and return timing.

        The GIL is released during the wait so other Python threads can
        proceed concurrently.

        Args:
            timeout_ms: Maximum wait time in milliseconds (default: 1000)

        Returns:
            ModelTiming: Timing information for the completed inference

        Raises:
            Ara2Error: If the request has already been consumed, or
                       inference failed on the NPU
        """

    @property
    def request_id(self) -> int:
        """Get the proxy-assigned request ID for log correlation.

        Returns:
            int: The unique request ID assigned by the proxy

        Raises:
            Ara2Error: If the request has already been consumed
        """

# The enumerations (Abi, State, ModelOutputType) compare equal only to their
# own members (Abi and ModelOutputType also to ints) and are unhashable.
@final
class Abi:
    """The DVAPI generation a loaded ``libaraclient`` implements."""
    V1_1: ClassVar[Abi]
    V1_3: ClassVar[Abi]

    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class State:
    """Endpoint state enum.

    The members are the union of both DVAPI generations: 1.3 reuses values
    4 and 5 for names 1.1 does not have, so which of ``ActiveBoosted`` /
    ``ThermalActiveSlow`` (and ``ThermalInactive`` / ``FailSafe``) you see
    depends on the library loaded. ``Session.abi`` reports which that is.
    """
    Init: ClassVar[State]
    Idle: ClassVar[State]
    Active: ClassVar[State]
    ActiveSlow: ClassVar[State]
    ActiveBoosted: ClassVar[State]
    ThermalInactive: ClassVar[State]
    ThermalActiveSlow: ClassVar[State]
    FailSafe: ClassVar[State]
    ThermalUnknown: ClassVar[State]
    Inactive: ClassVar[State]
    Fault: ClassVar[State]
    Unknown: ClassVar[State]

    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class DramStatistics:
    """DRAM statistics for an endpoint."""

    @property
    def dram_size(self) -> int:
        """Total DRAM capacity in bytes."""

    @property
    def dram_occupancy_size(self) -> int:
        """Total occupied DRAM in bytes."""

    @property
    def free_size(self) -> int:
        """Free DRAM in bytes."""

    @property
    def reserved_occupancy_size(self) -> int:
        """Reserved DRAM in bytes."""

    @property
    def model_occupancy_size(self) -> int:
        """DRAM occupied by loaded models in bytes."""

    @property
    def tensor_occupancy_size(self) -> int:
        """DRAM occupied by tensor buffers in bytes."""

@final
class ModelTiming:
    """Timing information from a model inference run."""

    @property
    def run_time_us(self) -> int:
        """NPU inference execution time in microseconds."""

    @property
    def input_time_us(self) -> int:
        """Input DMA transfer time in microseconds."""

    @property
    def output_time_us(self) -> int:
        """Output DMA transfer time in microseconds."""

@final
class InputQuantization:
    """Input tensor quantization parameters.

    For qmode 9 models (the production default), ``qn`` is the per-tensor
    scale and ``offset`` is the integer zero-point. Per-channel image
    preprocessing lives on :class:`InputPreprocess` instead.
    """

    @property
    def qn(self) -> float:
        """Per-tensor quantization scale."""

    @property
    def offset(self) -> int:
        """Integer zero-point offset."""

    @property
    def is_signed(self) -> bool:
        """True if the tensor uses signed int8, False for uint8."""

    @property
    def qmode(self) -> int:
        """Kinara quantization mode (9 = asymmetric, production default)."""

@final
class InputPreprocess:
    """Image preprocessing parameters for an input tensor.

    Describes how float image data is expected to be normalized before
    quantization: ``(pixel - mean[c]) * scale[c]``.
    """

    @property
    def mean(self) -> tuple[float, float, float]:
        """Per-channel mean subtracted during preprocessing."""

    @property
    def scale(self) -> tuple[float, float, float]:
        """Per-channel scale applied after mean subtraction."""

    @property
    def bgr_to_rgb(self) -> bool:
        """True if BGR inputs must be swapped to RGB before normalization."""

    @property
    def aspect_resize(self) -> bool:
        """True if the source image should be letterboxed to preserve aspect
        ratio when it is resized to the model's input size.
        """

    @property
    def mirror(self) -> bool:
        """True if the input should be horizontally mirrored."""

    @property
    def center_crop(self) -> bool:
        """True if the input should be center-cropped to the model's input
        aspect ratio.
        """

@final
class OutputQuantization:
    """Output tensor quantization parameters (qmode 9 semantics)."""

    @property
    def qn(self) -> float:
        """Per-tensor quantization scale. ``float_val = (raw - offset) * qn``."""

    @property
    def offset(self) -> int:
        """Integer zero-point offset."""

    @property
    def is_signed(self) -> bool:
        """True if the tensor uses signed int8, False for uint8."""

@final
class ModelOutputType:
    """The type of output produced by a model layer."""
    Classification: ClassVar[ModelOutputType]
    Detection: ClassVar[ModelOutputType]
    SemanticSegmentation: ClassVar[ModelOutputType]
    Raw: ClassVar[ModelOutputType]

    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class InputTensorInfo:
    """Detailed information about an input tensor."""

    @property
    def layer_id(self) -> int:
        """Model layer this tensor belongs to."""

    @property
    def blob_id(self) -> int:
        """Blob index within the layer."""

    @property
    def layer_name(self) -> str:
        """Name of the layer, as compiled into the model."""

    @property
    def blob_name(self) -> str:
        """Name of the blob within the layer."""

    @property
    def layer_type(self) -> str:
        """Layer type reported by the compiler (e.g. "Convolution")."""

    @property
    def layout(self) -> str:
        """Data layout string (e.g., "NCHW")."""

    @property
    def size(self) -> int:
        """Total size in bytes."""

    @property
    def width(self) -> int:
        """Width in pixels."""

    @property
    def height(self) -> int:
        """Height in pixels."""

    @property
    def nch(self) -> int:
        """Number of channels."""

    @property
    def bpp(self) -> int:
        """Bytes per element."""

    @property
    def batch_size(self) -> int:
        """Number of batches this tensor holds."""

    @property
    def quant(self) -> InputQuantization:
        """Quantization parameters for converting to and from float."""

    @property
    def preprocess(self) -> InputPreprocess:
        """Image preprocessing parameters (per-channel mean/scale, BGR swap,
        resize, mirror and crop flags).
        """

@final
class OutputTensorInfo:
    """Detailed information about an output tensor."""

    @property
    def layer_id(self) -> int:
        """Model layer this tensor belongs to."""

    @property
    def blob_id(self) -> int:
        """Blob index within the layer."""

    @property
    def fused_parent_id(self) -> int:
        """Layer this one was fused into, or -1 when it was not fused."""

    @property
    def layer_name(self) -> str:
        """Name of the layer, as compiled into the model."""

    @property
    def blob_name(self) -> str:
        """Name of the blob within the layer."""

    @property
    def layer_fused_parent_name(self) -> str:
        """Name of the fused parent layer, empty when it was not fused."""

    @property
    def layer_type(self) -> str:
        """Layer type reported by the compiler (e.g. "Convolution")."""

    @property
    def layout(self) -> str:
        """Data layout string (e.g., "NCHW")."""

    @property
    def size(self) -> int:
        """Total size in bytes."""

    @property
    def width(self) -> int:
        """Width in pixels."""

    @property
    def height(self) -> int:
        """Height in pixels."""

    @property
    def nch(self) -> int:
        """Number of channels."""

    @property
    def bpp(self) -> int:
        """Bytes per element."""

    @property
    def num_classes(self) -> int:
        """Number of classes the model was trained on."""

    @property
    def layer_output_type(self) -> ModelOutputType:
        """What kind of output this layer produces."""

    @property
    def max_dynamic_id(self) -> int:
        """Highest batch id this tensor supports."""

    @property
    def quant(self) -> OutputQuantization:
        """Quantization parameters for converting to and from float."""

@final
class DvmMetadata:
    """Tallowind metadata embedded in a DVM model file."""

    @property
    def task(self) -> str | None:
        """Model task type (e.g., "detect", "segment", "classify")."""

    @property
    def classes(self) -> list[str]:
        """Class labels from the dataset."""

    @property
    def dataset(self) -> DatasetInfo | None:
        """Dataset information."""

    @property
    def input(self) -> InputSpec | None:
        """Input specification."""

    @property
    def model(self) -> ModelInfo | None:
        """Model information."""

    @property
    def deployment(self) -> DeploymentInfo | None:
        """Deployment information."""

    @property
    def compilation(self) -> CompilationInfo | None:
        """Compilation information."""

    @property
    def ara2(self) -> Ara2Info | None:
        """ARA-2 / Kinara-specific metadata (quantization mode, etc.)"""

    @property
    def decoder_version(self) -> str | None:
        """Decoder version string (e.g., "yolov8")."""

    @property
    def nms(self) -> str | None:
        """NMS type (e.g., "class_agnostic")."""

    @property
    def outputs(self) -> list[OutputSpec]:
        """Output specifications."""

@final
class DatasetInfo:
    """Dataset information from model metadata."""

    @property
    def classes(self) -> list[str]:
        """Class label strings."""

    @property
    def id(self) -> str | None:
        """Dataset identifier (e.g., "coco2017")."""

    @property
    def name(self) -> str | None:
        """Human-readable dataset name."""

@final
class ModelInfo:
    """Model information from metadata."""

    @property
    def model_task(self) -> str | None:
        """Task type (e.g., "detect", "segment", "classify")."""

    @property
    def model_size(self) -> str | None:
        """Model size variant (e.g., "s", "m", "l", "x")."""

    @property
    def model_version(self) -> str | None:
        """Source model version string."""

    @property
    def detection(self) -> bool:
        """True if the model produces detection outputs."""

    @property
    def segmentation(self) -> bool:
        """True if the model produces segmentation outputs."""

@final
class DeploymentInfo:
    """Deployment information from metadata."""

    @property
    def model_name(self) -> str | None:
        """Model name for deployment."""

    @property
    def name(self) -> str | None:
        """Human-readable deployment name."""

    @property
    def author(self) -> str | None:
        """Author or organization."""

    @property
    def description(self) -> str | None:
        """Description of the deployed model."""

@final
class InputSpec:
    """Input specification from metadata."""

    @property
    def size(self) -> str | None:
        """Size string (e.g., "640x480")."""

    @property
    def input_channels(self) -> int | None:
        """Number of input channels."""

    @property
    def output_channels(self) -> int | None:
        """Number of output channels."""

    @property
    def cameraadaptor(self) -> str | None:
        """Camera adaptor type (e.g., "rgb", "bgr")."""

    def dimensions(self) -> tuple[int, int] | None:
        """Parse the size string into (width, height)."""

@final
class OutputSpec:
    """Output tensor specification from metadata."""

    @property
    def index(self) -> int | None:
        """Output index."""

    @property
    def name(self) -> str | None:
        """Output name."""

    @property
    def output_type(self) -> str | None:
        """Output type (detection, segmentation, etc.)."""

    @property
    def decoder(self) -> str | None:
        """Decoder to use."""

    @property
    def decode(self) -> bool:
        """Whether to decode this output."""

    @property
    def dtype(self) -> str | None:
        """Data type (float32, int8, etc.)."""

    @property
    def shape(self) -> list[int]:
        """Tensor shape."""

    @property
    def dshape(self) -> list[tuple[str, int]]:
        """Physical axis names in memory order, as `(name, extent)` pairs.

        Names are the metadata spellings (`"batch"`, `"num_boxes"`,
        `"num_protos"`, ...) so a caller can map them onto
        `tallowind.decoder.DimName` without this package depending on the
        decoder. Empty when the producer omitted the field.
        """

    @property
    def normalized(self) -> bool | None:
        """Whether box coordinates are already normalized to `[0, 1]`.

        `None` when the metadata does not say — the caller must then assume
        pixel-space coordinates and divide the box quantization scale by the
        model's input dimension. Only meaningful for `boxes` and `detection`
        outputs.
        """

@final
class CompilationInfo:
    """Compilation information from metadata."""

    @property
    def target(self) -> str | None:
        """Target hardware (e.g., "ara-2")."""

    @property
    def format(self) -> str | None:
        """Model format (e.g., "dvm")."""

    @property
    def ppa(self) -> PpaMetrics | None:
        """Performance, power and area metrics."""

@final
class PpaMetrics:
    """Performance, power, and area metrics from compilation."""

    @property
    def ips(self) -> float | None:
        """Inferences per second."""

    @property
    def power_mw(self) -> float | None:
        """Power consumption in milliwatts."""

    @property
    def cycles(self) -> int | None:
        """Execution cycles."""

    @property
    def ddr_bw_mbps(self) -> float | None:
        """DDR bandwidth in MB/s."""

@final
class Ara2Info:
    """Kinara ARA-2 specific metadata section."""

    @property
    def qmode(self) -> int | None:
        """Kinara quantization mode (9 = asymmetric, the production default)."""

def read_metadata(path: _StrPath) -> DvmMetadata | None:
    """Read Tallowind metadata from a DVM model file.

    Args:
        path: Path to the .dvm model file (str or os.PathLike)

    Returns:
        DvmMetadata or None if the file has no embedded metadata

    Raises:
        MetadataError: If the file cannot be read or metadata is malformed
    """
def read_labels(path: _StrPath) -> list[str]:
    """Read class labels from a DVM model file.

    Args:
        path: Path to the .dvm model file (str or os.PathLike)

    Returns:
        list[str]: Class label strings (empty if not present)

    Raises:
        MetadataError: If the file cannot be read
    """
def has_metadata(path: _StrPath) -> bool:
    """Check if a DVM file has embedded metadata.

    Args:
        path: Path to the .dvm model file (str or os.PathLike)

    Returns:
        bool: True if the file contains Tallowind metadata
    """
def socket_path() -> str:
    """Resolves the ARA-2 proxy socket path: `ARA2_SOCKET` if set, otherwise
    the first entry in `SOCKET_PATHS` that exists, otherwise
    `DEFAULT_SOCKET`.
    """
def discover() -> list[Proxy]:
    """Find every ARA-2 proxy currently running on this host.

    Returns a list because more than one proxy can be running; an empty
    list means none was found, which is not an error.

    Endpoints are resolved by observing the sockets each process holds
    open, which reflects where it is really listening however that was
    decided. That needs permission to read the process's file descriptors
    -- the proxy runs as root under both packagings -- so when it is
    unavailable this falls back to parsing the configuration file named on
    the command line.

    Example:
        >>> import tallowind_ara2
        >>> for proxy in tallowind_ara2.discover():
        ...     print(proxy.pid, [str(e) for e in proxy.endpoints])
    """

# Additions beside the classes above: module attributes, not exported in __all__.

@final
class TensorSet:
    """A further set of input and output tensors of a model.

    Created by :meth:`Model.create_tensor_set`. A model's own tensors (what
    ``allocate_tensors()`` fills) carry one request at a time; each tensor
    set carries one more, so several requests can be in flight on one
    loaded model without loading it again. A set has the model's data
    methods, working on the set's own tensors: write its inputs,
    ``submit()`` (or ``run()``), and read its outputs after ``wait()``.

    While a request submitted from a set is pending, ``set_input_tensor``
    refuses to write the set's inputs (``TensorError``); output reads are
    allowed and return whatever the buffers hold. Writes through a
    descriptor from ``input_tensor_fd()`` cannot be checked: wait first.

    A set belongs to its model and to the thread that created it. Once the
    model is closed the set's methods raise ``Ara2Error``. ``close()`` (or
    leaving a ``with`` block) releases the tensors; a request still pending
    on them keeps them until it is waited for or dropped.

    Example:
        >>> sets = [model.create_tensor_set() for _ in range(2)]
        >>> for tensors, frame in zip(sets, frames):
        ...     tensors.set_input_tensor(0, frame)
        >>> requests = [tensors.submit() for tensors in sets]
        >>> for tensors, request in zip(sets, requests):
        ...     timing = request.wait()
        ...     scores = tensors.dequantize(0)
    """

    def input_tensor_memory(self, index: int) -> _MemoryKind:
        """Get the memory type of one of the set's input tensors.

        Args:
            index: Input tensor index (0-based)

        Returns:
            str: ``"dma"``, ``"shm"``, or ``"mem"``

        Raises:
            IndexError: If index is out of range
            Ara2Error: If the set or its model is closed
        """

    def output_tensor_memory(self, index: int) -> _MemoryKind:
        """Get the memory type of one of the set's output tensors.

        Args:
            index: Output tensor index (0-based)

        Returns:
            str: ``"dma"``, ``"shm"``, or ``"mem"``

        Raises:
            IndexError: If index is out of range
            Ara2Error: If the set or its model is closed
        """

    def input_tensor_fd(self, index: int) -> int:
        """Get a cloned file descriptor of one of the set's input tensors.

        The returned FD is owned by the caller: close it with ``os.close()``
        when done. Writing through it while a request of the set is pending
        changes what that request reads; the module cannot check such writes.

        Args:
            index: Input tensor index (0-based)

        Returns:
            int: File descriptor of the tensor's DMA-BUF or shared memory

        Raises:
            IndexError: If index is out of range
            TensorError: If the tensor uses system memory
            Ara2Error: If the set or its model is closed
        """

    def output_tensor_fd(self, index: int) -> int:
        """Get a cloned file descriptor of one of the set's output tensors.

        The returned FD is owned by the caller: close it with ``os.close()``
        when done.

        Args:
            index: Output tensor index (0-based)

        Returns:
            int: File descriptor of the tensor's DMA-BUF or shared memory

        Raises:
            IndexError: If index is out of range
            TensorError: If the tensor uses system memory
            Ara2Error: If the set or its model is closed
        """

    def run(self) -> ModelTiming:
        """Run inference on the set's tensors, with the model's timeout.

        Returns:
            ModelTiming: Timing information for the inference run

        Raises:
            Ara2Error: If the set or its model is closed
        """

    def submit(self) -> InferRequest:
        """Submit inference on the set's tensors asynchronously.

        Returns an :class:`InferRequest` at once; call
        :meth:`InferRequest.wait` before reading the outputs. Until then the
        set's inputs cannot be written. Several requests of one set may be
        pending; they all read the same inputs.

        Returns:
            InferRequest: Handle for the pending inference

        Raises:
            Ara2Error: If the set or its model is closed
        """

    def set_input_tensor(self, index: int, data: _SupportsToBytes) -> None:
        """Copy numpy array data into one of the set's input tensors.

        Args:
            index: Input tensor index (0-based)
            data: numpy array whose total byte count matches the tensor
                  size, in the dtype the model expects; its bytes are
                  copied verbatim, as ``data.tobytes()`` gives them.

        Raises:
            IndexError: If index is out of range
            TensorError: If sizes don't match, or a request submitted
                         from the set is still pending (wait for it first)
            Ara2Error: If the set or its model is closed
        """

    def set_input_image(
        self,
        index: int,
        image: NDArray[np.uint8],
        color: Literal["bgr", "rgb"] = "bgr",
        interpolation: Literal["linear", "nearest"] = "linear",
        fill: int = 114,
        crop_ratio: float = 0.875,
        threads: int = 1,
    ) -> Geometry:
        """Write an image into one of the set's input tensors.

        As :meth:`Model.set_input_image`, on this set's own tensors.

        Returns:
            Geometry: Where the image landed in the tensor

        Raises:
            IndexError: If index is out of range
            TypeError: If the image is not a uint8 array
            ValueError: If the image or an argument does not fit the input
            TensorError: If the input cannot take an image, or a pending
                         request is using the set's inputs
            Ara2Error: If the set or its model is closed
        """

    def get_output_tensor(self, index: int) -> NDArray[_OutputDType]:
        """Get one of the set's output tensors as a typed numpy array.

        The dtype and the ``(channels, height, width)`` shape are those
        :meth:`Model.get_output_tensor` gives.

        Args:
            index: Output tensor index (0-based)

        Returns:
            numpy.ndarray: Shaped, typed copy of the output tensor data

        Raises:
            IndexError: If index is out of range
            TensorError: If the output has an unsupported bpp
            Ara2Error: If the set or its model is closed
        """

    def dequantize(self, index: int) -> NDArray[np.float32]:
        """Dequantize one of the set's output tensors to ``float32``.

        As :meth:`Model.dequantize`: ``(raw - offset) * qn`` with the
        output's quantization, for models of qmode 9.

        Args:
            index: Output tensor index (0-based)

        Returns:
            numpy.ndarray: ``float32`` array reshaped to ``(C, H, W)``

        Raises:
            IndexError: If index is out of range
            Ara2Error: If the model uses an unsupported qmode, or the set
                       or its model is closed
        """

    def close(self) -> None:
        """Release the set's tensors.

        A request still pending on them keeps them until it is waited for
        or dropped. Afterwards the set's other methods raise ``Ara2Error``.
        Safe to call multiple times.
        """

    def __enter__(self) -> TensorSet: ...

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]: ...

@final
class Pipeline:
    """Frames in, results out, with requests in flight on several endpoints.

    Created by :meth:`Pipeline.open`, which loads the model once per
    endpoint and gives each loaded model ``requests`` tensor sets.
    ``put()`` copies a frame into a free set and submits it; when every set
    is busy it first collects the oldest frame, waiting for it with the
    interpreter lock released. Results come back in the order the frames
    were put, as :class:`PipelineResult` objects carrying the outputs, the
    user data given with the frame, the timing, or the error of a frame
    that failed (the frames after it go on). Iterate the pipeline, call
    ``get()``, or give ``open()`` a callback.

    The module starts no threads: results are collected when the owning
    thread calls ``put()``, ``get()`` or ``wait_all()``, or iterates. A
    pipeline belongs to the thread that opened it.

    ``close()`` frees the requests in flight without waiting and releases
    the tensors and the models. Leaving a ``with`` block waits for the
    frames in flight first (``wait_all()``), unless an exception is
    leaving it. Nothing is left behind, also when a pipeline is dropped.

    Example:
        >>> with Pipeline.open(session.list_endpoints(), "model.dvm") as pipeline:
        ...     for frame in frames:
        ...         pipeline.put(frame)
        ...     for result in pipeline:
        ...         print(result.index, result.outputs[0].ravel())
    """

    @staticmethod
    def open(
        endpoints: Endpoint | Sequence[Endpoint],
        model_path: _StrPath,
        requests: int = 2,
        memory: _MemoryKind | None = None,
        dequantize: bool = False,
        callback: Callable[[PipelineResult], object] | None = None,
    ) -> Pipeline:
        """Load a model on each endpoint and make a pipeline of it.

        Args:
            endpoints: The endpoints to spread frames over (one Endpoint
                       or a sequence); the model is loaded once on each,
                       and consecutive frames go round them in turn
            model_path: Path to the compiled model file (.dvm)
            requests: Requests in flight per endpoint (default: 2, which
                      keeps an endpoint busy while its last result is read)
            memory: Tensor memory, as for :meth:`Model.allocate_tensors`
            dequantize: Results carry ``float32`` outputs as
                        :meth:`Model.dequantize` gives them, instead of the
                        raw outputs of :meth:`Model.get_output_tensor`
            callback: Called with each result, in order, on the owning
                      thread, instead of queueing it for ``get()``

        Returns:
            Pipeline: The pipeline, with nothing in flight

        Raises:
            ValueError: If there is no endpoint or requests is below 1
            TensorError: If the tensors cannot be allocated
            Ara2Error: If the model cannot be loaded, or its outputs cannot
                       be read as asked (unsupported bpp or qmode)
        """

    def put(self, inputs: _Frame, userdata: object = None) -> None:
        """Copy a frame into a free tensor set and submit it.

        When every set is busy, the oldest frame is collected first (its
        result queued or passed to the callback): this blocks until it
        completes, with the interpreter lock released. Ctrl-C interrupts
        that wait; the frame is then not submitted.

        Args:
            inputs: The frame: one array for a model with one input, or a
                    list or tuple with one array per model input, each of
                    the input's byte size (as for ``set_input_tensor``)
            userdata: Any object, handed back in the frame's result

        Raises:
            ValueError: If the number of inputs is not the model's
            TensorError: If an input's size does not match
            Ara2Error: If the pipeline is closed
        """

    def put_image(
        self,
        image: NDArray[np.uint8],
        userdata: object = None,
        color: Literal["bgr", "rgb"] = "bgr",
        interpolation: Literal["linear", "nearest"] = "linear",
        fill: int = 114,
        crop_ratio: float = 0.875,
    ) -> None:
        """Write an image into a free tensor set and submit it.

        As :meth:`put`, for a model with one input, with the image
        written as :meth:`Model.set_input_image` writes it (no
        intermediate copy); the frame's result carries the
        :class:`Geometry`. The image is prepared with the interpreter
        lock released while the frames already submitted run.

        Args:
            image: ``uint8`` array of height x width x 3 (or x 1, or
                   height x width for a one-channel input), any strides
            userdata: Any object, handed back in the frame's result
            color: The image's channel order, ``"bgr"`` or ``"rgb"``
            interpolation: ``"linear"`` or ``"nearest"``
            fill: The letterbox bars, in pixel values (0-255)
            crop_ratio: For a centre crop, the share kept

        Raises:
            ValueError: If the model has more than one input, or the
                        image or an argument does not fit it
            TypeError: If the image is not a uint8 array
            TensorError: If the input cannot take an image
            Ara2Error: If the pipeline is closed
        """

    def get(self) -> PipelineResult:
        """Return the oldest result, waiting for its frame if needed.

        Returns:
            PipelineResult: The result of the oldest frame not yet handed out

        Raises:
            Ara2Error: If no frame is in the pipeline, the pipeline has a
                       callback, or it is closed
        """

    def wait_all(self) -> None:
        """Collect every frame in flight.

        Each result is queued for ``get()`` and iteration, or passed to
        the callback, in order. Waits with the interpreter lock released.

        Raises:
            Ara2Error: If the pipeline is closed
        """

    def __iter__(self) -> Iterator[PipelineResult]: ...

    def __next__(self) -> PipelineResult: ...

    @property
    def capacity(self) -> int:
        """Frames that can be in flight at once: endpoints x requests."""

    @property
    def in_flight(self) -> int:
        """Frames put and not yet collected."""

    @property
    def ready(self) -> int:
        """Results collected and waiting for ``get()`` or iteration."""

    def close(self) -> None:
        """Free the requests in flight without waiting and release everything.

        Results not yet handed out are dropped; the models are unloaded
        and the tensors released. Afterwards the other methods raise
        ``Ara2Error``. Safe to call multiple times.
        """

    def __enter__(self) -> Pipeline: ...

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]: ...

@final
class PipelineResult:
    """The outcome of one frame put into a :class:`Pipeline`."""

    @property
    def index(self) -> int:
        """The frame's number: frames are counted from 0 in the order they were put."""

    @property
    def userdata(self) -> object:
        """The object given to ``put()`` with the frame."""

    @property
    def endpoint(self) -> int:
        """Position, among the endpoints the pipeline was opened with, of the one that ran the frame."""

    @property
    def outputs(self) -> list[NDArray[Any]]:
        """One array per model output (raw, or ``float32`` when the
        pipeline dequantizes); empty when the frame failed."""

    @property
    def timing(self) -> ModelTiming | None:
        """The device's timings of the frame; ``None`` when it failed."""

    @property
    def error(self) -> BaseException | None:
        """Why the frame failed (an ``Ara2Error`` such as "asynchronous
        inference failed on the NPU"); ``None`` when it succeeded."""

    @property
    def geometry(self) -> Geometry | None:
        """Where the frame's image landed in the input, for frames put
        with ``put_image()``; ``None`` otherwise."""

@final
class Geometry:
    """Where an image landed in an input tensor.

    A point (x, y) of the image maps to ``(x * scale_x + offset_x,
    y * scale_y + offset_y)`` in the tensor (continuous coordinates, pixel
    edges at whole numbers), then, when ``mirrored``, x to
    ``target_width - x``. Returned by ``set_input_image()`` and carried by
    the results of ``Pipeline.put_image()``.
    """

    @property
    def scale_x(self) -> float:
        """Tensor pixels per image pixel, horizontally."""

    @property
    def scale_y(self) -> float:
        """Tensor pixels per image pixel, vertically."""

    @property
    def offset_x(self) -> float:
        """Where the image's left edge lands (negative for a centre crop)."""

    @property
    def offset_y(self) -> float:
        """Where the image's top edge lands (negative for a centre crop)."""

    @property
    def mirrored(self) -> bool:
        """True when the tensor holds the image flipped horizontally."""

    @property
    def source_width(self) -> int:
        """The image's width in pixels."""

    @property
    def source_height(self) -> int:
        """The image's height in pixels."""

    @property
    def target_width(self) -> int:
        """The tensor's width in pixels."""

    @property
    def target_height(self) -> int:
        """The tensor's height in pixels."""

    def to_source(self, boxes: NDArray[Any]) -> NDArray[np.float32]:
        """Map boxes from tensor coordinates back to the image.

        Args:
            boxes: N x 4 array of ``(x1, y1, x2, y2)`` in tensor pixels

        Returns:
            numpy.ndarray: N x 4 ``float32`` boxes in image pixels,
            clipped to the image, the mirror undone

        Raises:
            ValueError: If boxes is not N x 4
        """

def top_k(scores: NDArray[Any], k: int = 5, labels: Sequence[str] | None = None) -> list[tuple[int, str | None, float]]:
    """The k best classes of a score vector, best first.

    Ties go to the lower index; NaN ranks below every number.

    Args:
        scores: Scores of any shape, read flattened as float32 (for
                example ``model.dequantize(0)``)
        k: How many classes to return
        labels: Class names by index (``read_labels(path)``); a class
                without a name gets ``None``

    Returns:
        list: ``(class index, label, score)`` tuples

    Raises:
        ValueError: If k is negative
    """

def nms(
    boxes: NDArray[Any],
    scores: NDArray[Any],
    iou_threshold: float = 0.45,
    score_threshold: float = 0.25,
    max_detections: int = 300,
    class_ids: NDArray[Any] | None = None,
) -> NDArray[np.int64]:
    """Greedy non-maximum suppression, as torchvision's nms and batched_nms.

    Boxes scoring above ``score_threshold`` are visited in descending
    score (ties by the lower index); each kept box suppresses the later
    ones whose intersection over union with it is above
    ``iou_threshold``, only within its own class when ``class_ids`` is
    given.

    Args:
        boxes: N x 4 ``(x1, y1, x2, y2)``, read as float32
        scores: N scores, read as float32
        iou_threshold: Overlap above which a box is suppressed
        score_threshold: Scores at or below it are dropped first
        max_detections: At most this many indices are returned
        class_ids: N integer classes, or ``None`` for one class

    Returns:
        numpy.ndarray: ``int64`` indices of the kept boxes, best first

    Raises:
        ValueError: If the shapes do not match
    """

def decode_detections(
    boxes: NDArray[Any],
    scores: NDArray[Any],
    boxes_quant: OutputQuantization | None = None,
    scores_quant: OutputQuantization | None = None,
    box_format: Literal["xywh", "xyxy"] = "xywh",
    sigmoid: bool = False,
    normalized: bool = False,
    score_threshold: float = 0.25,
    iou_threshold: float = 0.45,
    max_detections: int = 300,
    geometry: Geometry | None = None,
    per_class: bool = True,
    metadata: OutputSpec | None = None,
) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.int64]]:
    """Decode a detector's boxes and class scores into detections.

    Each box takes its best class. With ``scores_quant`` the scores are
    the raw ``uint8``/``int8`` outputs: boxes whose best raw score cannot
    pass the threshold are dropped before anything is converted, and only
    the rest are dequantised (``(raw - offset) * qn``). Boxes are turned
    into corners, suppressed as :func:`nms` does (per class unless
    ``per_class`` is false) and, with a ``geometry``, mapped back to the
    image.

    Args:
        boxes: N x 4 array (a transposed view such as ``out[0].T`` is
               fine): raw with ``boxes_quant``, else float32
        scores: N x C class scores, raw with ``scores_quant``, else float32
        boxes_quant: The boxes output's quantisation (``output_quants(i)``)
        scores_quant: The scores output's quantisation
        box_format: ``"xywh"`` (centre and size) or ``"xyxy"`` (corners)
        sigmoid: The scores are logits (what ``OutputSpec`` metadata calls
                 not normalised scores); scores are reported after the
                 sigmoid and the threshold applies to them
        normalized: Box coordinates are fractions of the input's size
                    (``OutputSpec.normalized``); needs ``geometry``
        score_threshold: Detections must score above it
        iou_threshold: Overlap above which a box is suppressed
        max_detections: At most this many detections
        geometry: From ``set_input_image()``: boxes come back in image
                  pixels
        per_class: Suppress within each class only
        metadata: The outputs' description in the model file
                  (``read_metadata(path).outputs[i]``): where it says how
                  boxes are encoded (``xywh``, ``cxcywh`` or ``center``;
                  ``xyxy``, ``ltrb`` or ``corners``), whether scores are
                  logits (``logits``, ``raw``) or already probabilities
                  (``sigmoid``, ``probabilities``, ``softmax``), or whether
                  boxes are normalised, it is followed instead of
                  box_format, sigmoid and normalized

    Returns:
        tuple: boxes (K x 4 ``float32``, ``(x1, y1, x2, y2)``), scores
        (K ``float32``) and class indices (K ``int64``), best first

    Raises:
        ValueError: If the shapes, types or arguments do not fit, or the
                    metadata names an encoding or score format this
                    decoder does not know
    """
@final
class trace:
    """Request traces in the Chrome trace event format (JSON that Perfetto
    and chrome://tracing open).

    While a trace is recorded, every request's host work is a span on the
    thread that did it (input writes, ``run()``, ``submit()``, ``wait()``,
    output reads, dequantisation, a pipeline's ``put()`` and collection),
    and the device's own figures from the request's timing (input, run,
    output) are spans on a track per endpoint, laid out back to back as
    the device runs requests in order. The file is written by ``stop()``.

    Setting ``ARA2_TRACE`` to a path records from the import of the module
    to the exit of the interpreter, for programs one cannot edit.

    Example:
        >>> with tallowind_ara2.trace.start("frames.json"):
        ...     for frame in frames:
        ...         pipeline.put(frame)
    """

    @staticmethod
    def start(path: _StrPath) -> trace:
        """Start recording a trace to ``path``.

        Args:
            path: The JSON file to write (str or os.PathLike); made empty now

        Returns:
            trace: A context manager whose exit stops this recording

        Raises:
            RuntimeError: If a trace is already being recorded
            OSError: If the file cannot be written
        """
    @staticmethod
    def stop() -> int:
        """Stop recording and write the file.

        Returns:
            int: The number of spans written

        Raises:
            RuntimeError: If no trace is being recorded
            OSError: If the file cannot be written
        """
    @staticmethod
    def recording() -> str | None:
        """The file being recorded to, or ``None`` when no trace is."""
    def __enter__(self) -> trace: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]: ...

def library_info() -> dict[str, Any]:
    """Open the client library as a new session would, describe it and
    close it again. No proxy is contacted.

    Returns:
        dict: ``name`` (the candidate file name it was opened under),
        ``path`` (the file the loader mapped), ``directory``
        (``ARA2_CLIENT_LIBRARY_DIR`` when set, else None: the loader's
        search), ``abi`` (the :class:`Abi` a session would use),
        ``abi_forced`` (whether ``ARA2_ABI`` chose it), ``dvapi_version``
        (what the library reported, or None) and ``missing`` (one
        ``{"name", "called"}`` per function the library lacks; ``called``
        when this module would call it)

    Raises:
        LibraryError: As a session would, when no library can be used
            (its notes say what each candidate gave)
    """
def build_info() -> dict[str, Any]:
    """How this module was built.

    Returns:
        dict: ``version``, ``compiler``, ``standard_library``,
        ``dequantize_kernels`` (the instruction sets the dequantisation
        loop was compiled for, narrowest first),
        ``dequantize_kernels_supported`` (those this CPU runs) and
        ``dequantize_kernel`` (the one in use)
    """
