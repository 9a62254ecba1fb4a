// SPDX-License-Identifier: Apache-2.0
// HBAScan: the generic scanner: output name, header values, the writer, header and footer.
#ifndef HBASCAN_H
#define HBASCAN_H

#include <optional>
#include <string>

#include <libxml/xmlerror.h>
#include <libxml/xmlwriter.h>

#include "DocumentFile.h"
#include "FwCompLibUtil.h"
#include "XmlErrorGuard.h"

// The vendor's scanner (HBAScanB) derives from it and sets the type.
class HBAScan {
public:
    HBAScan(const char* config_file_name, int debug);
    // Sets every field empty and reads nothing. The tool never uses it; it
    // stays beside HBAScanB's own, and the fuzz target builds scanners with
    // it, off any configuration.
    HBAScan();
    // Frees a writer that a failed discovery left open and discards its
    // document file.
    ~HBAScan();

    HBAScan(const HBAScan&) = delete;
    HBAScan& operator=(const HBAScan&) = delete;

    void SetCommonAttributes();
    void ReadConfigurationFile();
    int WriteXmlHeader();
    int WriteXmlFooter();

    const char* GetOutputFileName() const;
    // Why no document can be written (empty when the output file name is good).
    const char* GetOutputFileNameProblem() const;

protected:
    // Creates the document file under the output file name (DocumentFile)
    // and opens the document writer on it; 1 on success, 0 with nothing left.
    int OpenWriter();
    // Frees the document writer, if one is open: 1 when everything written
    // reached the document file, 0 otherwise.
    int FreeWriter();
    // Frees the writer and discards the document file: no document at all.
    void DiscardDocument();

    int debug;
    char OutputFileName[512];
    char TarnromVerStr[20];
    char VersionStr[20];
    char TypeStr[256];
    char AltName[256];
    char TakesEffectStr[20];
    char ConfigurationFile[512];
    xmlTextWriterPtr writer;
    FwCompLibUtil util;
    char OutputFileNameProblem[160];
    // The file under the writer: committed under the output file name once
    // the document is complete, discarded otherwise.
    DocumentFile document;

private:
    // libxml2 reports a failed write on its own as well; the tool says it
    // once, in its own words, so libxml2's report is dropped.
    static void DropOutputError(void* context, XmlErrorGuard::Error error);

    // DropOutputError's hold on libxml2's errors, while the writer is open.
    std::optional<XmlErrorGuard> error_guard;

    void DeriveOutputFileName(const char* component_file_name, bool cut, bool opened);
};

#endif
