"""Continuous series: the roll rules (rolls.py) and the builder that stitches a product's
contracts and adjusts them at each roll (builder.py). Below the datafeed, so that its
frames of a continuous name are built by the same rules as the `continuous` command."""
