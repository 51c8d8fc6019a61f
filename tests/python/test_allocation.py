"""Allocating a model's tensors in each memory kind, their registration with
the client library, the tensor accessors, and what allocation leaves behind."""
import fcntl
import json
import os
import pathlib
import re

import pytest
import tallowind_ara2 as ara2

from ara2_emulator.model_builder import build_model
from fixtures.sanitizer import preloaded

# Inputs are sized (nch, height, width) whatever size and bpp say; outputs by size.
MODEL = {
    "inputs": [{"shape": [3, 4, 5], "bpp": 2, "size": 7}, {"shape": [1, 2, 3]}],
    "outputs": [{"shape": [1, 1, 10], "size": 33}, {"shape": [2, 2, 2]}],
}
INPUT_BYTES = [60, 6]
OUTPUT_BYTES = [33, 8]
ALL_BYTES = INPUT_BYTES + OUTPUT_BYTES

HAS_DMA_HEAP = any(os.path.exists(p) for p in ("/dev/dma_heap/linux,cma", "/dev/dma_heap/system"))
NOT_ALLOCATED = "tensors not allocated: call allocate_tensors() first"
ACCESSORS = ["input_tensor_memory", "output_tensor_memory", "input_tensor_fd", "output_tensor_fd"]


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def fd_identity(fd):
    info = os.fstat(fd)
    return info.st_dev, info.st_ino


def with_fd(model, method, index, use):
    fd = getattr(model, method)(index)
    try:
        return use(fd)
    finally:
        os.close(fd)


@pytest.mark.parametrize("memory, kind", [("mem", "mem"), ("shm", "shm"),
                                          (None, "dma" if HAS_DMA_HEAP else "mem")])
def test_every_tensor_gets_the_requested_memory(load_model, memory, kind):
    model = load_model(MODEL)
    assert model.allocate_tensors(memory) is None
    assert [model.input_tensor_memory(i) for i in range(2)] == [kind, kind]
    assert [model.output_tensor_memory(i) for i in range(2)] == [kind, kind]


def test_memory_by_keyword_and_default(load_model):
    model = load_model(MODEL)
    model.allocate_tensors(memory="shm")
    assert model.output_tensor_memory(1) == "shm"
    model.allocate_tensors()
    assert model.output_tensor_memory(1) == ("dma" if HAS_DMA_HEAP else "mem")


def test_shared_memory_tensors_are_registered_through_private_duplicates(load_model, stand_in):
    model = load_model(MODEL)
    fds, registrations = open_fds(), stand_in.live_handles("registration")
    model.allocate_tensors("shm")
    calls = stand_in.calls("dv_shmfd_register")
    assert [call["size"] for call in calls] == ALL_BYTES
    assert all(call["private_duplicate"] and call["fd"] >= 3 for call in calls)
    assert all(call["arg4"] == 0 and call["arg5"] == 0 for call in calls)
    # One descriptor per tensor stays open here, plus what the library keeps
    # of each registration; the duplicates handed to it are closed.
    added = stand_in.live_handles("registration") - registrations
    assert added == 4
    assert open_fds() == fds + 4 + added


def test_heap_tensors_are_not_registered(load_model, stand_in):
    model = load_model(MODEL)
    fds = open_fds()
    model.allocate_tensors("mem")
    assert stand_in.call_count("dv_shmfd_register") == 0
    assert open_fds() == fds


@pytest.mark.parametrize("method", ["input_tensor_fd", "output_tensor_fd"])
def test_heap_tensor_has_no_descriptor(load_model, method):
    model = load_model(MODEL)
    model.allocate_tensors("mem")
    with pytest.raises(ara2.TensorError) as caught:
        getattr(model, method)(0)
    assert caught.value.args == ('NotImplemented("MemTensor does not support clone_fd")',)


def test_shared_memory_descriptors_are_new_close_on_exec_and_sized(load_model):
    model = load_model(MODEL)
    model.allocate_tensors("shm")
    for method, sizes in (("input_tensor_fd", INPUT_BYTES), ("output_tensor_fd", OUTPUT_BYTES)):
        for index, size in enumerate(sizes):
            first = getattr(model, method)(index)
            second = getattr(model, method)(index)
            try:
                assert first >= 3 and second not in (first,)
                assert fcntl.fcntl(first, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
                assert fd_identity(first) == fd_identity(second)
                assert os.fstat(first).st_size == size
            finally:
                os.close(first)
                os.close(second)


def test_tensor_descriptor_shares_the_registered_memory(load_model):
    model = load_model(MODEL)
    model.allocate_tensors("shm")
    identities = {with_fd(model, "input_tensor_fd", i, fd_identity) for i in range(2)}
    identities |= {with_fd(model, "output_tensor_fd", i, fd_identity) for i in range(2)}
    assert len(identities) == 4


@pytest.mark.skipif(HAS_DMA_HEAP, reason="the host has a DMA heap")
def test_explicit_dma_without_a_heap_fails_and_changes_nothing(load_model):
    model = load_model(MODEL)
    with pytest.raises(ara2.TensorError) as caught:
        model.allocate_tensors("dma")
    assert caught.value.args[0].startswith("Tensor error: IoError(")
    with pytest.raises(ara2.TensorError, match=re.escape(NOT_ALLOCATED)):
        model.input_tensor_memory(0)


@pytest.mark.parametrize("memory", ["DMA", "Mem", "", "shm ", "heap", "dma\0"])
def test_unknown_memory_strings(load_model, memory):
    model = load_model(MODEL)
    with pytest.raises(ara2.Ara2Error) as caught:
        model.allocate_tensors(memory)
    assert type(caught.value) is ara2.Ara2Error
    assert caught.value.args == (f"unknown memory type '{memory}': expected 'dma', 'shm', 'mem', or None",)
    # The string is checked before the model's state.
    model.close()
    with pytest.raises(ara2.Ara2Error, match="^unknown memory type"):
        model.allocate_tensors(memory)


@pytest.mark.parametrize("memory", [1, b"mem", ["mem"]])
def test_memory_must_be_a_string(load_model, memory):
    model = load_model(MODEL)
    with pytest.raises(TypeError, match="memory"):
        model.allocate_tensors(memory)


@pytest.mark.parametrize("memory", ["mem", "shm", None])
def test_allocating_a_closed_model(load_model, stand_in, memory):
    model = load_model(MODEL)
    model.close()
    with pytest.raises(ara2.Ara2Error) as caught:
        model.allocate_tensors(memory)
    assert caught.value.args == ("model is closed",)
    assert stand_in.call_count("dv_shmfd_register") == 0


@pytest.mark.parametrize("method", ACCESSORS)
@pytest.mark.parametrize("state", ["loaded", "closed", "closed after allocation"])
def test_accessors_need_allocated_tensors_before_the_index(load_model, method, state):
    model = load_model(MODEL)
    if state == "closed after allocation":
        model.allocate_tensors("shm")
    if state != "loaded":
        model.close()
    with pytest.raises(ara2.TensorError) as caught:
        getattr(model, method)(99)
    assert caught.value.args == (NOT_ALLOCATED,)


@pytest.mark.parametrize("method", ACCESSORS)
def test_accessor_index_checks(load_model, method):
    model = load_model(MODEL)
    model.allocate_tensors("shm")
    direction = method.split("_")[0]
    with pytest.raises(IndexError) as caught:
        getattr(model, method)(2)
    assert caught.value.args == (f"{direction} index 2 out of range (model has 2 {direction}s)",)
    with pytest.raises(OverflowError):
        getattr(model, method)(-1)


def test_reallocation_replaces_every_tensor_and_registers_again(load_model, stand_in):
    model = load_model(MODEL)
    model.allocate_tensors("shm")
    first = [with_fd(model, "input_tensor_fd", 0, fd_identity), with_fd(model, "output_tensor_fd", 1, fd_identity)]
    fds = open_fds()
    model.allocate_tensors("shm")
    second = [with_fd(model, "input_tensor_fd", 0, fd_identity), with_fd(model, "output_tensor_fd", 1, fd_identity)]
    assert not set(first) & set(second)
    assert stand_in.call_count("dv_shmfd_register") == 8
    # The replaced tensors are withdrawn and released: the library keeps no copy of them.
    assert stand_in.call_count("dv_shmfd_unregister") == 4
    assert stand_in.live_handles("registration") == 4
    assert open_fds() == fds
    model.allocate_tensors("mem")
    assert model.input_tensor_memory(1) == "mem"


def test_failure_among_inputs_keeps_the_previous_tensors(load_model, stand_in):
    model = load_model(MODEL)
    model.allocate_tensors("shm")
    before = with_fd(model, "input_tensor_fd", 0, fd_identity)
    fds = open_fds()
    stand_in.inject_status("dv_shmfd_register", 250)
    with pytest.raises(ara2.ModelError, match="^Ara2 error: 250$"):
        model.allocate_tensors("shm")
    assert with_fd(model, "input_tensor_fd", 0, fd_identity) == before
    assert model.output_tensor_memory(1) == "shm"
    assert open_fds() == fds


def test_null_registration_is_an_error_and_allocates_nothing(load_model, stand_in):
    model = load_model(MODEL)
    fds, registrations = open_fds(), stand_in.live_handles("registration")
    stand_in.null_registration()
    with pytest.raises(ara2.Ara2Error) as caught:
        model.allocate_tensors("shm")
    assert type(caught.value) is ara2.Ara2Error
    assert caught.value.args == ("Null pointer error: shmfd_register returned null",)
    assert stand_in.call_count("dv_shmfd_register") == 1
    # Only the library's own copy of what it registered stays open.
    assert open_fds() == fds + stand_in.live_handles("registration") - registrations
    with pytest.raises(ara2.TensorError, match=re.escape(NOT_ALLOCATED)):
        model.input_tensor_memory(0)


def test_failure_among_outputs_keeps_the_previous_outputs(load_model, stand_in):
    model = load_model({"inputs": [], "outputs": [{"shape": [1, 1, 8]}, {"shape": [1, 1, 4]}]})
    model.allocate_tensors("shm")
    before = with_fd(model, "output_tensor_fd", 0, fd_identity)
    stand_in.inject_status("dv_shmfd_register", 120)
    with pytest.raises(ara2.HardwareError, match="^Ara2 error: 120$"):
        model.allocate_tensors("shm")
    assert with_fd(model, "output_tensor_fd", 0, fd_identity) == before
    assert model.output_tensor_memory(1) == "shm"


def test_failure_among_outputs_installs_the_new_inputs_but_not_the_flag(load_model, stand_in):
    # An output of size -1 cannot be allocated in any memory.
    model = load_model({"inputs": [{"shape": [1, 1, 4]}], "outputs": [{"shape": [1, 1, 4], "size": -1}]})
    assert model.output_size(0) == 2**64 - 1
    with pytest.raises(ara2.TensorError, match="^Tensor error: "):
        model.allocate_tensors("shm")
    assert [call["size"] for call in stand_in.calls("dv_shmfd_register")] == [4]
    with pytest.raises(ara2.TensorError, match=re.escape(NOT_ALLOCATED)):
        model.input_tensor_memory(0)


def test_tensors_that_are_never_installed_are_withdrawn(load_model, stand_in):
    # The first output is registered, the second cannot be allocated.
    model = load_model({"inputs": [{"shape": [1, 1, 4]}],
                        "outputs": [{"shape": [1, 1, 4]}, {"shape": [1, 1, 4], "size": -1}]})
    registrations = stand_in.live_handles("registration")
    with pytest.raises(ara2.TensorError):
        model.allocate_tensors("shm")
    assert stand_in.call_count("dv_shmfd_register") == 2
    assert stand_in.call_count("dv_shmfd_unregister") == 1
    assert stand_in.live_handles("registration") == registrations + 1  # the installed input


def test_reallocations_and_models_on_a_long_session_stay_within_a_descriptor_limit(model_child, tmp_path):
    # Each round would leave four registered descriptors with the library
    # (and the daemon) if registrations were not withdrawn.
    path = tmp_path / "limit.dvm"
    build_model(MODEL, path)
    out = model_child(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128))
        before = len(os.listdir("/proc/self/fd"))
        model = endpoint.load_model({str(path)!r})
        for _ in range(300):
            model.allocate_tensors("shm")
        model.close()
        for _ in range(100):
            with endpoint.load_model({str(path)!r}) as model:
                model.allocate_tensors("shm")
        print(len(os.listdir("/proc/self/fd")) - before)
        """)
    assert out == "0\n"


def test_allocation_leaves_no_shared_memory_names(load_model):
    model = load_model(MODEL)
    names = re.compile(r"^[0-9a-f]{16}$")
    before = {name for name in os.listdir("/dev/shm") if names.match(name)}
    model.allocate_tensors("shm")
    model.allocate_tensors("shm")
    assert {name for name in os.listdir("/dev/shm") if names.match(name)} <= before


def test_no_descriptor_leaks_across_many_allocate_close_cycles(emulator, tmp_path, stand_in):
    path = tmp_path / "cycle.dvm"
    build_model(MODEL, path)
    fds, sessions = open_fds(), stand_in.live_handles("session")
    for cycle in range(1000):
        session = ara2.Session.create_via_unix_socket(emulator.socket_path)
        model = session.list_endpoints()[0].load_model(path)
        session.close()
        model.allocate_tensors("shm" if cycle % 2 else "mem")
        model.close()
    assert open_fds() == fds
    assert stand_in.live_handles("session") == sessions


def test_outputs_are_sized_at_the_generation_stride(model_child, tmp_path):
    path = tmp_path / "three.dvm"
    build_model({"inputs": [{"shape": [2, 3, 4]}],
                 "outputs": [{"shape": [1, 1, 1], "size": 10 + i} for i in range(3)]}, path)
    code = f"""
        import json
        from ara2_emulator.control import StandIn
        stand_in = StandIn()
        model = endpoint.load_model({str(path)!r})
        model.allocate_tensors("shm")
        print(json.dumps([call["size"] for call in stand_in.calls("dv_shmfd_register")]))
        model.close()
        print(stand_in.misuse_count)
        """
    for variant in ("v1_1", "v1_3"):
        sizes, misuse = model_child(code, variant=variant).split("\n")[:2]
        assert (json.loads(sizes), misuse) == ([24, 10, 11, 12], "0")


@pytest.fixture
def interposer(build_dir):
    path = build_dir / "tests" / "interpose" / "libdma_heap_interposer.so"
    if not path.exists():
        pytest.fail(f"{path} is missing: build the project first")
    return path


@pytest.mark.parametrize("cma, system, heap", [("ok", "ok", "cma"), ("missing", "ok", "system")])
def test_dma_buf_tensors_through_the_interposed_heaps(model_child, interposer, tmp_path, cma, system, heap):
    path = tmp_path / "dma.dvm"
    build_model(MODEL, path)
    log = tmp_path / "dma.log"
    out = model_child(f"""
        import json
        from ara2_emulator.control import StandIn
        stand_in = StandIn()
        fds, registrations = len(os.listdir("/proc/self/fd")), stand_in.live_handles("registration")
        model = endpoint.load_model({str(path)!r})
        model.allocate_tensors()
        kinds = [model.input_tensor_memory(i) for i in range(2)] + [model.output_tensor_memory(i) for i in range(2)]
        fd = model.input_tensor_fd(0)
        size = os.fstat(fd).st_size
        os.close(fd)
        calls = stand_in.calls("dv_shmfd_register")
        model.close()
        # What stays open is the library's own copy of each registration.
        kept = len(os.listdir("/proc/self/fd")) - fds - (stand_in.live_handles("registration") - registrations)
        print(json.dumps({{"kinds": kinds, "size": size, "sizes": [c["size"] for c in calls],
                          "private": all(c["private_duplicate"] for c in calls),
                          "fds": kept, "misuse": stand_in.misuse_count}}))
        """, env={"LD_PRELOAD": preloaded(interposer), "TALLOWIND_TEST_DMA_LOG": str(log),
                  "TALLOWIND_TEST_DMA_HEAP_CMA": cma, "TALLOWIND_TEST_DMA_HEAP_SYSTEM": system})
    result = json.loads(out)
    assert result["kinds"] == ["dma"] * 4
    assert result["sizes"] == ALL_BYTES and result["private"]
    assert result["size"] >= 60  # heaps round up to whole pages
    assert (result["fds"], result["misuse"]) == (0, 0)
    allocs = [line.split()[1] for line in log.read_text().splitlines() if line.startswith("alloc ")]
    assert allocs == [heap] * 4
    # Allocation never maps, so no cache synchronisation happens.
    assert not [line for line in log.read_text().splitlines() if line.startswith("sync ")]


def allocation_refused(model_child, interposer, tmp_path, memory, env):
    """What allocate_tensors(memory) raises with the interposer set by `env`
    (its text and notes), and the memory allocate_tensors() then chooses."""
    path = tmp_path / "refused.dvm"
    build_model(MODEL, path)
    out = model_child(f"""
        import json
        model = endpoint.load_model({str(path)!r})
        try:
            model.allocate_tensors({memory!r})
        except ara2.TensorError as error:
            print(json.dumps([str(error), getattr(error, "__notes__", [])]))
        model.allocate_tensors()
        print(model.input_tensor_memory(0))
        model.close()
        """, env={"LD_PRELOAD": preloaded(interposer), **env})
    refused, kind = out.split("\n")[:2]
    return (*json.loads(refused), kind)


def test_dma_request_without_any_heap_through_the_interposer(model_child, interposer, tmp_path):
    error, _, kind = allocation_refused(model_child, interposer, tmp_path, "dma", {
        "TALLOWIND_TEST_DMA_HEAP_CMA": "missing", "TALLOWIND_TEST_DMA_HEAP_SYSTEM": "missing"})
    assert error.startswith('Tensor error: IoError(Os { code: 2, kind: NotFound, message: "No such file or')
    assert kind == "mem"


def test_shared_memory_that_cannot_be_created_names_the_path_in_a_note(model_child, interposer, tmp_path):
    message, [note], _ = allocation_refused(model_child, interposer, tmp_path, "shm",
                                            {"TALLOWIND_TEST_SHM_OPEN_ERRNO": "13"})
    # The text stays the tensor library's; where to look is in the note.
    assert message == 'Tensor error: IoError(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })'
    assert re.fullmatch(r"shm_open \(create\) on the shared-memory object /dev/shm/[0-9a-f]{16} \(a tensor of \d+ "
                        r"bytes\) failed: Permission denied\. Check that /dev/shm .*`df -h /dev/shm`.*\"mem\".*", note)
