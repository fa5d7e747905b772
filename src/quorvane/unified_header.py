"""Engine ids and the engine-family test: the package's own stand-in for that header module.

An engine id names the engine an avatar needs. The second-generation ("v2") family is the
corvine-2 engines: their runtimes reset in place between utterances and hold frames back until the
end of an utterance is signalled.
"""

from __future__ import annotations

ENGINE_CORVINE1 = "corvine1"
ENGINE_CORVINE2_LIGHT = "corvine2-light"
ENGINE_CORVINE2_GOLDEN = "corvine2-golden"
ENGINE_CORVINE2_UNIFIED = "corvine2-unified"
ENGINE_MIRRANT2 = "mirrant2"

ENGINES = frozenset({ENGINE_CORVINE1, ENGINE_CORVINE2_LIGHT, ENGINE_CORVINE2_GOLDEN,
                     ENGINE_CORVINE2_UNIFIED, ENGINE_MIRRANT2})
V2_ENGINES = frozenset({ENGINE_CORVINE2_LIGHT, ENGINE_CORVINE2_GOLDEN, ENGINE_CORVINE2_UNIFIED})


def is_v2_engine(engine_id) -> bool:
    """Whether ``engine_id`` belongs to the v2 family (the corvine-2 ids). None or any value that
    is not one of those ids gives False."""
    return isinstance(engine_id, str) and engine_id in V2_ENGINES
