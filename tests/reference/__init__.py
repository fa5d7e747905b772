"""Plain NumPy transcriptions of the host's algorithms: bit-exact oracles for the tests."""
