// Control entry point provider for the init tests (see init_test.cpp).
