// The host's read loop over the module's read selectors.
#include "host/read_session.h"

namespace host {

ReadReport ReadThroughModule(PluginModule& module, const ReadHandlers& handlers) {
    HostEnvironment& environment = HostEnvironment::Instance();
    HostFormatRecord* record = environment.Record();
    ReadReport report;
    if (handlers.checkFirst) {
        report.check = module.Call(selectorFileCheck);
        if (report.check != resultOk) return report;
    }
    report.prepare = module.Call(selectorReadPrepare);
    if (report.prepare != resultOk) return report;
    report.start = module.Call(selectorReadStart);
    if (report.start != resultOk) return report;

    if (!handlers.started || handlers.started(record)) {
        const int32_t height = record->rows;
        // A pointer the module must replace on every call that moves a row.
        static uint8_t notARow;
        for (int32_t row = 0;; ++row) {
            record->rowData = &notARow;
            const int16_t answer = module.Call(selectorReadContinue);
            if (answer != resultOk) {
                report.failure = answer;
                report.failedRow = row;
                report.failureLeftRowData = record->rowData == &notARow;
                break;
            }
            // A copy: rowData is not 8-byte aligned in the packed record, so no reference may bind to it.
            const void* const rowData = record->rowData;
            if (rowData == nullptr) {
                report.ended = true;
                if (row != height) {
                    report.problem = "the module ended after " + std::to_string(row) + " of " +
                                     std::to_string(height) + " rows";
                }
                break;
            }
            if (rowData == &notARow) {
                report.problem = "read continue answered 0 without handing over a row";
                break;
            }
            if (row >= height || record->area[areaTop] != row || record->area[areaBottom] != row + 1) {
                report.problem = row >= height ? "the module handed over more rows than the image has"
                                               : "the module handed over a row out of order";
                break;
            }
            ++report.rows;
            const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(rowData),
                                                 static_cast<std::size_t>(record->rowStep));
            if (handlers.row && !handlers.row(row, bytes)) break;
        }
    }
    report.finish = module.Call(selectorReadFinish);
    report.finished = true;
    return report;
}

}  // namespace host
