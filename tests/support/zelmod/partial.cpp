// A module library that stops after its second function: the binding must report how far it got.
extern "C" {
int Zelmod_GetInfo(void**) { return 0; }
int Zelmod_GetPlcSW(int, void**) { return 0; }
}
