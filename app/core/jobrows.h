// The rows of jobs that the per-file dialogs (crop, trim, watermark) work on. The job list's
// model provides them; the dialogs see only this, not the main window's files.
#pragma once

#include "app/core/jobrecord.h"

class QString;

class TJobRows {
public:
  virtual ~TJobRows() = default;
  virtual int JobCount() const = 0;
  // The row's job record, null for a row that does not exist.
  virtual TlvFilesRecord* Record(int row) const = 0;
  // The row's "Trimmed Length" text.
  virtual void SetTrimmed(int row, const QString& text) = 0;
};
