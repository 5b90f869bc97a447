"""The native core; the extension module is velmora.core.velmora_core."""

from velmora.core import velmora_core
from velmora.core.types import (DescriptorDict, DescriptorFields, MemberDict, NodeDict,
                                NodeKind, NodeMapEntry, ParamValue, Params, ReductionReport)

__version__: str = velmora_core.version()

__all__ = ["DescriptorDict", "DescriptorFields", "MemberDict", "NodeDict", "NodeKind",
           "NodeMapEntry", "ParamValue", "Params", "ReductionReport", "__version__",
           "velmora_core"]
