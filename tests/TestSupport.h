// SPDX-License-Identifier: Apache-2.0
// Shared test support: scratch directories, file and XML helpers, doubles, table rows.
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <cstdio>
#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>
#include <libxml/xmlwriter.h>

#include "BoundedText.h"
#include "HBAInfo.h"

// A fresh directory under /tmp, removed with everything in it when the
// object goes. With enter = true the process works in it meanwhile.
class ScratchDir {
public:
    explicit ScratchDir(bool enter = false);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
    std::string previous;
};

// When set, called with a scratch directory's path just before the directory
// is removed (SchemaTest.cpp validates every discovery document left there).
extern void (*ScratchDirCheck)(const std::string& path);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// How many descriptors (directory streams included) the process holds.
long OpenDescriptors();

// True when the file parses as well-formed XML (libxml2, no network, no entities).
bool IsWellFormedXml(const std::string& path);

// Runs fn with standard output captured and returns what it printed.
template <typename Fn>
std::string CaptureStdout(Fn fn)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Runs write on a libxml2 text writer (no indentation) whose sink keeps every
// byte, and returns what the writer produced.
std::string SinkOutput(const std::function<void(xmlTextWriterPtr)>& write);

// Runs write on a text writer whose sink refuses the first flush. libxml2's
// output buffer flushes once it is full (4000 or 4096 bytes, by version); the writer is padded so
// that the write call which begins at byte `at` of write's own output is the
// one that reaches it, and that call and every later one fail. Returns
// write's result; *written receives what write had produced up to and
// including the failing call.
int WriteFailingAt(std::size_t at, const std::function<int(xmlTextWriterPtr)>& write,
                   std::string* written);

// An adapter record (HBAInfo or HBAInfoB) whose identity, model and items a
// test gives by hand instead of probing a machine; the real code writes it.
template <typename Base>
class AdapterDouble : public Base {
public:
    using Base::Base;

    // Sets the four PCI identifiers and the model, and composes the identity
    // from them as the probes do.
    void SetIdentity(const char* vendor, const char* device, const char* subvendor,
                     const char* subdevice, const char* product)
    {
        BoundedText::CopyBounded(this->pci_vendor_id, sizeof(this->pci_vendor_id), vendor);
        BoundedText::CopyBounded(this->pci_device_id, sizeof(this->pci_device_id), device);
        BoundedText::CopyBounded(this->pci_subvendor_id, sizeof(this->pci_subvendor_id), subvendor);
        BoundedText::CopyBounded(this->pci_subdevice_id, sizeof(this->pci_subdevice_id), subdevice);
        BoundedText::CopyBounded(this->product_id, sizeof(this->product_id), product);
        this->GetCompositePciId();
    }

    BiosItem& Bios() { return this->bi; }
    FirmwareItem& Firmware() { return this->fi; }
};

// A row of a test table: the name of its case. Parameterised tests are named
// after it (RowName), and failure messages print it for the row.
struct TableRow {
    const char* name;
};

inline std::ostream& operator<<(std::ostream& out, const TableRow& row)
{
    return out << row.name;
}

struct RowName {
    template <typename Row>
    std::string operator()(const testing::TestParamInfo<Row>& info) const
    {
        return info.param.name;
    }
};

#endif
