#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/MainFrm.h"
#include "shell/application.h"

int main(int argc, char** argv) {
  try {
    auto Application = shell::CreateApplication(argc, argv);
    Application->MainFormOnTaskBar = true;
    app::TForm1 Form1(*Application, std::vector<std::string>(argv + 1, argv + argc));
    return Application->Run(Form1.Form());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrune: %s\n", e.what());
    return 1;
  }
}
