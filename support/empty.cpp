// Keeps a library that is still only headers buildable.
