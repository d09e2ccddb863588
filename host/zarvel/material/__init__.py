"""Material-style components. Import each component from its own module."""
