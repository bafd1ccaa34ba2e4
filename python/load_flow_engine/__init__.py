"""Power flow of unbalanced multi-conductor distribution networks.

The engine is the extension module ``load_flow_engine.cy_engine``.
"""
