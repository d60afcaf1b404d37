#include "tuning/tuning_parameters.h"

const wxChar* const tuningParameterNames[tuningParameterCount] = {
    wxT("max_connections"),
    wxT("shared_buffers"),
    wxT("work_mem"),
    wxT("maintenance_work_mem"),
    wxT("max_fsm_pages"),
    wxT("max_fsm_relations"),
    wxT("wal_buffers"),
    wxT("checkpoint_segments"),
    wxT("random_page_cost"),
    wxT("effective_cache_size"),
    wxT("autovacuum"),
    wxT("autovacuum_naptime"),
    wxT("autovacuum_vacuum_threshold"),
    wxT("autovacuum_analyze_threshold"),
    wxT("autovacuum_vacuum_scale_factor"),
    wxT("autovacuum_analyze_scale_factor"),
    wxT("stats_row_level"),
};

const wxChar* const tunedServerVersions[tunedServerVersionCount] = {
    wxT("18"), wxT("17"), wxT("16"), wxT("15"), wxT("14"), wxT("13"), wxT("12"),
    wxT("11"), wxT("10"), wxT("9.6"), wxT("9.5"), wxT("9.4"), wxT("9.3"), wxT("9.2"),
    wxT("9.1"), wxT("9.0"), wxT("8.4"), wxT("8.3"), wxT("8.2"),
};
