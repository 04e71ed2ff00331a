/* The agent only needs this library to load; it has no functions of its own. */
static int airtraffichost_loaded __attribute__((used)) = 1;
