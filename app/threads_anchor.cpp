// Keeps the thread library non-empty while units are added.
namespace grafimo { int threadsAnchor() { return 0; } }
