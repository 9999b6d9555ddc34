"""Reads a graph drawn by Graphviz back from its SVG: nodes and edges with their classes, texts and fills."""

import shutil
import xml.etree.ElementTree as ET

import pytest

SVG = "{http://www.w3.org/2000/svg}"
needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")


def _group(element):
    texts = tuple(text.text for text in element.iter(f"{SVG}text"))
    fills = tuple(polygon.get("fill") for polygon in element.iter(f"{SVG}polygon") if polygon.get("fill") not in ("white", "none"))
    return element.get("class"), texts, fills


def read_graph(svg):
    """{"nodes": {label: (class, texts, fills)}, "edges": {(source label, target label): (class, texts, lines)}}.

    A node's label is its first text; an edge's ends come from its title, `source->target`.
    """
    root = ET.fromstring(svg)
    groups = [g for g in root.iter(f"{SVG}g") if g.get("class", "").split()[:1] in (["node"], ["edge"])]
    names = {g.find(f"{SVG}title").text: _group(g)[1][0] for g in groups if g.get("class").startswith("node")}
    graph = {"nodes": {}, "edges": {}}
    for g in groups:
        kind, texts, fills = _group(g)
        if kind.startswith("node"):
            graph["nodes"][texts[0]] = (kind, texts, fills)
        else:
            source, target = g.find(f"{SVG}title").text.split("->")
            lines = [path for path in g.iter(f"{SVG}path") if path.get("stroke") != "transparent"]
            graph["edges"][(names[source], names[target])] = (kind, texts, len(lines))
    return graph
