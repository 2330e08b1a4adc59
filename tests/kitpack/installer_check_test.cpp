#include "kitpack/pe/installer_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kitpack/host/files.h"
#include "kitpack/kit_error.h"
#include "scratch.h"

namespace kitpack {
namespace {

std::vector<unsigned char> Bytes(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

// "MZ", the PE signature at `at`, zeros elsewhere.
std::vector<unsigned char> PeHead(size_t at) {
  std::vector<unsigned char> head(at + 4, 0);
  head[0] = 'M';
  head[1] = 'Z';
  for (int i = 0; i < 4; ++i) head[0x3C + i] = static_cast<unsigned char>(at >> (8 * i));
  std::memcpy(&head[at], "PE\0\0", 4);
  return head;
}

const std::vector<unsigned char> kOle = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0};

TEST(UnstartableReason, WhatWindowsStartsFromACommandLine) {
  struct Case {
    std::vector<unsigned char> head;
    const char* stored;
    const char* reason;  // a part of it; "" when Windows starts the file
  };
  const Case cases[] = {
      {PeHead(0x80), "C:\\KIT\\setup.exe", ""},
      {PeHead(0x80), "C:\\KIT\\setup.ps1", ""},  // a program is a program by its bytes
      {PeHead(0x80), "C:\\KIT\\SETUP", ""},
      {Bytes("@echo off\r\nmsiexec /i product.msi\r\n"), "C:\\KIT\\setup.cmd", ""},
      {Bytes("@echo off\r\n"), "C:\\KIT\\Setup.BAT. ", ""},
      {kOle, "C:\\KIT\\product.msi", "a Windows Installer package (.msi)"},
      {kOle, "C:\\KIT\\product.MSP", "a Windows Installer patch (.msp)"},
      {kOle, "C:\\KIT\\setup.exe", "an OLE compound file"},
      {kOle, "C:\\KIT\\setup.cmd", "an OLE compound file"},
      {Bytes("Write-Host hi"), "C:\\KIT\\install.ps1", "a PowerShell script (.ps1)"},
      {Bytes("WScript.Echo 1"), "C:\\KIT\\install.VBS", "a VBScript file (.vbs)"},
      {Bytes("WScript.Echo(1)"), "C:\\KIT\\install.js", "a JScript file (.js)"},
      {Bytes("MZ installer"), "C:\\KIT\\setup.exe", "without a PE header"},
      {Bytes("hello"), "C:\\KIT\\readme.txt", "neither a Windows program nor a batch file"},
      {Bytes(""), "C:\\KIT\\setup.exe", "neither a Windows program nor a batch file"},
      {PeHead(0x80), "C:\\KIT\\setup.cmd", "stored under a batch file's name (.cmd)"},
  };
  for (const Case& c : cases) {
    const std::string reason = UnstartableReason(c.head, c.stored);
    if (*c.reason == '\0')
      EXPECT_EQ(reason, "") << c.stored;
    else
      EXPECT_NE(reason.find(c.reason), std::string::npos) << c.stored << ": " << reason;
  }
}

// Each kind of file gets the command that starts it, never another kind's.
TEST(StarterAdvice, TheCommandForEachKind) {
  const struct {
    const char* ext;
    const char* name;
    const char* advice;
  } cases[] = {
      {".msi", "product.msi",
       " (for an .msi: a setup.cmd holding  msiexec /i \"%~dp0product.msi\"  as --installer, "
       "and the package as --file)"},
      {".msp", "fix.msp",
       " (for an .msp: a setup.cmd holding  msiexec /p \"%~dp0fix.msp\"  as --installer, and "
       "the patch as --file)"},
      {".ps1", "Install.PS1",
       " (for a .ps1: a setup.cmd holding  powershell -NoProfile -ExecutionPolicy Bypass -File "
       "\"%~dp0Install.PS1\" %*  as --installer, and the script as --file)"},
      {".vbs", "go.vbs",
       " (for a .vbs: a setup.cmd holding  cscript //nologo \"%~dp0go.vbs\" %*  as "
       "--installer, and the script as --file)"},
      {".wsf", "go.wsf", "cscript //nologo \"%~dp0go.wsf\""},
      {".hta", "ui.hta", " (for an .hta: a setup.cmd holding  mshta \"%~dp0ui.hta\"  as"},
      {".txt", "readme.txt", ""},
      {"", "setup", ""},
  };
  for (const auto& c : cases) {
    const std::string advice = StarterAdvice(c.ext, c.name);
    if (*c.advice == '\0')
      EXPECT_EQ(advice, "") << c.name;
    else
      EXPECT_NE(advice.find(c.advice), std::string::npos) << c.name << ": " << advice;
    if (std::string(c.ext) != ".msi") {
      EXPECT_EQ(advice.find("msiexec /i"), std::string::npos) << c.name;
    }
  }
}

class InstallerCheck : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeScratchFolder("installer-check"); }
  void TearDown() override { testing::RemoveTree(dir_); }
  std::string Save(const std::string& name, const std::vector<unsigned char>& bytes) {
    const std::string path = JoinPath(dir_, name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string Refusal(const std::vector<unsigned char>& loader, const std::string& source,
                      const std::string& stored) {
    try {
      CheckInstallerStarts(loader, source, stored);
    } catch (const KitError& e) {
      return e.what();
    }
    return "";
  }
  std::string dir_;
};

TEST_F(InstallerCheck, AnMsiIsRefusedWithWhatWouldWork) {
  const std::vector<unsigned char> loader = ReadWholeFile(KITPACK_TEST_PE_PLAIN);
  const std::string msi = Save("product.msi", kOle);
  EXPECT_EQ(Refusal(loader, msi, "C:\\KIT\\product.msi"),
            "the installer " + msi +
                " (stored as C:\\KIT\\product.msi) is a Windows Installer package (.msi): the "
                "loader starts its installer from a command line, where Windows starts only a "
                "program (.exe) or a batch file (.bat, .cmd); give an .exe, or a .cmd that starts "
                "it (for an .msi: a setup.cmd holding  msiexec /i \"%~dp0product.msi\"  as "
                "--installer, and the package as --file)");
  // A POSIX loader's installers are not Windows' to judge.
  EXPECT_EQ(Refusal(Bytes("\x7F"
                          "ELF....."),
                    msi, "C:\\KIT\\product.msi"),
            "");
}

TEST_F(InstallerCheck, APeSignatureFarIntoTheFileIsFound) {
  const std::vector<unsigned char> loader = ReadWholeFile(KITPACK_TEST_PE_PLAIN);
  EXPECT_EQ(Refusal(loader, Save("far.exe", PeHead(40000)), "C:\\KIT\\far.exe"), "");
  EXPECT_EQ(Refusal(loader, KITPACK_TEST_PE_PLAIN, "C:\\KIT\\setup.exe"), "");
  // The DOS header names a place past the file's end.
  std::vector<unsigned char> cut = PeHead(40000);
  cut.resize(5000);
  EXPECT_NE(Refusal(loader, Save("cut.exe", cut), "C:\\KIT\\cut.exe").find("without a PE header"),
            std::string::npos);
}

}  // namespace
}  // namespace kitpack
