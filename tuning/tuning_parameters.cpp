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
