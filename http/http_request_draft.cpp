#include "http/http_request_draft.h"

namespace {

template <class Record>
bool SetByPrefix(std::vector<Record>& records, std::string_view name, std::string_view value) {
    if (name.empty()) return false;
    for (Record& record : records) {
        if (std::string_view(record.name).starts_with(name)) {
            record.value.assign(value);
            return true;
        }
    }
    records.push_back({std::string(name), std::string(value)});
    return true;
}

}  // namespace

bool nwCHttpRequestDraft::SetHeader(std::string_view name, std::string_view value) {
    return SetByPrefix(headers_, name, value);
}

bool nwCHttpRequestDraft::SetParameter(std::string_view name, std::string_view value) {
    return SetByPrefix(parameters_, name, value);
}

std::unique_ptr<nwCHttpRequestHeaderBuilder> nwCHttpRequestDraft::MakeBuilder(int type) const {
    std::unique_ptr<nwCHttpRequestHeaderBuilder> builder =
        nwCHttpRequestHeaderBuilder::Create(type);
    if (!builder) return nullptr;
    for (const HttpHeaderRecord& header : headers_) builder->SetHeader(header.name, header.value);
    for (const HttpParameterRecord& parameter : parameters_)
        builder->SetParameter(parameter.name, parameter.value);
    builder->SetBodyLength(bodyLength_);
    builder->SetTargetPrefix(targetPrefix_);
    return builder;
}
