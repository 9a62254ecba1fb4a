// SPDX-License-Identifier: Apache-2.0
// HBAScan: the generic scanner: output name, header values, document file and writer.
#ifndef HBASCAN_H
#define HBASCAN_H

#include <csignal>
#include <optional>
#include <string>

#include <libxml/xmlerror.h>
#include <libxml/xmlwriter.h>

#include "FwCompLibUtil.h"

// The generic scanner: the configuration file name, the discovery document's
// name and header values, the document writer, and the header and footer.
class HBAScan {
public:
    HBAScan(const char* config_file_name, int debug);
    HBAScan();
    // Frees a writer that a failed discovery left open and removes its
    // temporary file.
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

    // Removes the temporary file of a document being written, if there is
    // one. Async-signal-safe: for a signal that ends the process mid-run.
    static void RemovePendingDocument();

protected:
    // Removes whatever has the output file name (a link itself, never its
    // target) and opens the document writer on a new temporary file beside
    // it, ".<output file name>.<pid>" (or with ".<n>" added when that name
    // is taken), locked for as long as it is being written; 1 on success, 0
    // with nothing left.
    int OpenWriter();
    // Frees the document writer, if one is open: 1 when everything written
    // reached the temporary file, 0 otherwise.
    int FreeWriter();
    // After FreeWriter returned 1: syncs the temporary file, renames it to
    // the output file name and syncs the directory. 1 when the document is
    // in place; 0 with nothing left.
    int CommitDocument();
    // Frees the writer and removes the temporary file: no document at all.
    void DiscardDocument();
    // The message for a document that could not be created or written
    // (action "create" or "write"): the name that stood in the way (the
    // last temporary name tried when every one was taken, or else the
    // output file name), the system's reason when there is one, and the
    // outcome; and, when an older entry under the output file name could
    // not be removed, that it remains.
    std::string OutputFailure(const char* action, const char* outcome) const;

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

private:
    // The file under the writer. libxml2's own file output writes through
    // stdio and loses the error of the final write and close, so a full disk
    // would pass unnoticed; this sink writes straight to the descriptor and
    // keeps the first error. The descriptor stays open until the document
    // is committed or discarded.
    struct OutputSink {
        int fd;
        int error;
    };
    static int SinkWrite(void* context, const char* buffer, int len);
    static int SinkClose(void* context);
    // libxml2 reports a failed write on its own as well; the tool says it
    // once, in its own words, so libxml2's report is dropped.
    static void DropOutputError(void* context, xmlErrorPtr error);

    OutputSink sink;
    // DropOutputError's hold on libxml2's errors, while the writer is open.
    std::optional<FwCompLibUtil::XmlErrorGuard> error_guard;
    bool temporary_created;
    char blocked_name[64];
    // True when an entry under the output file name could not be removed
    // and is still there: a failed run says that it remains.
    bool older_kept;

    // The temporary file that the signal handler removes; set while one may
    // exist. One discovery runs at a time in a process.
    static char pending_document[64];
    static volatile std::sig_atomic_t document_pending;

    void DeriveOutputFileName(const char* component_file_name, bool cut, bool opened);
    // Removes temporary files of this output name left by runs that were
    // killed: those that no writer holds locked any more.
    void RemoveLeftovers() const;
    int CreateTemporaryFile();
    void ForgetTemporaryFile();
};

#endif
