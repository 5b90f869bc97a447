"""The velmora dataflow-graph compiler."""
