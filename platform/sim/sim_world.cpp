// Simulation backend.
