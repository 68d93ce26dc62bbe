#include <windows.h>

// Holds whatever handles it inherited until it is ended, or a minute passes.
int main() {
  ::Sleep(60000);
  return 0;
}
