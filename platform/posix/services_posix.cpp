// The posix backend: filled in by the posix services.
