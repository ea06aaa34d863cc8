// dependent_module.cpp: a test module without a DllMain that uses a library which has one.
extern "C" int BaseValue();

extern "C" __attribute__((visibility("default"))) int DependentValue() {
    return BaseValue() + 1;
}
