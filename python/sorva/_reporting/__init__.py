"""What people read: the terminal progress, the asset graph, its DOT and SVG, and the report page."""
