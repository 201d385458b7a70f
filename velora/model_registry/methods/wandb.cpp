// Reserved for the second registry kind: defines nothing and loads nothing.
#include "velora_native/function.hpp"

VELORA_MODULE(wandb, m, "Reserved for the second model registry kind; defines nothing.") {}
