"""quorvane: a talking avatar rendered on your own machine."""
