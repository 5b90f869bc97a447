"""The native core; the extension module is velmora.core.velmora_core."""
