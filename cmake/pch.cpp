// Compiles nothing: the target that owns the precompiled headers needs a source.
