#include "writer/record_table.h"

#include <iterator>

namespace kivw {
namespace {

constexpr element_info e_hashloc[] = {{"location", 'p'}, {"source_line", 's'}};
constexpr element_info e_malloc_wf[] = {{"id", 'u'},   {"color", 'd'},    {"addr", 'p'},
                                        {"addr_realloc", 'p'}, {"size", 'u'},
                                        {"tot_size", 'u'}, {"location", 'p'}};
constexpr element_info e_malloc_nf[] = {{"id", 'u'},   {"color", 'd'},    {"addr", 'p'},
                                        {"size", 'u'}, {"tot_size", 'u'}, {"location", 'p'}};
constexpr element_info e_free[] = {{"id", 'u'}, {"color", 'd'}, {"addr", 'p'}, {"location", 'p'}};
constexpr element_info e_free_realloc[] = {{"id", 'u'},   {"color", 'd'},    {"addr", 'p'},
                                           {"addr_free", 'p'}, {"size", 'u'},
                                           {"tot_size", 'u'}, {"location", 'p'}};
constexpr element_info e_sbrk[] = {{"addr", 'p'}, {"size", 'u'}};
constexpr element_info e_sbrk_gap[] = {{"l_sbrk", 'p'}, {"c_sbrk", 'p'}};
constexpr element_info e_reserve_id[] = {{"id", 'u'},       {"default_size", 'u'},
                                         {"location", 'p'}, {"nr_colors", 'd'},
                                         {"reserve_type", 's'}};
constexpr element_info e_colors[] = {{"color", 'd'}, {"colorname", 's'}};
constexpr element_info e_id_totals[] = {{"id", 'd'}, {"location", 'p'},
                                        {"tot_size_wf", 'd'}, {"tot_size_nf", 'd'}};
constexpr element_info e_flow_in[] = {{"parent_id", 'u'}, {"parent_funnr", 'd'},
                                      {"child_id", 'u'}, {"child_funnr", 'd'}};
constexpr element_info e_schedule[] = {{"curr_pid", 'd'}, {"new_pid", 'd'}};
constexpr element_info e_process_start[] = {{"pid", 'd'}, {"parent", 'd'}, {"session_name", 's'}};
constexpr element_info e_process_end[] = {{"pid", 'd'}};
constexpr element_info e_special[] = {{"pid", 'u'}, {"funnr", 'd'}, {"funcname", 's'}};
constexpr element_info e_object_load[] = {{"id_of_obj", 'u'}};
constexpr element_info e_object_link[] = {{"pid", 'd'}, {"id_of_obj", 'u'}};
constexpr element_info e_function[] = {{"id_of_obj", 'u'}, {"funnr", 'd'}, {"funcname", 's'}};
constexpr element_info e_vorex_in[] = {{"id_of_obj", 'u'}, {"fun3glnr", 'd'}, {"funnr", 'd'},
                                       {"sym", 'p'}, {"args", 's'}};
constexpr element_info e_vorex_out[] = {{"id_of_obj", 'u'}, {"fun3glnr", 'd'}, {"funnr", 'd'},
                                        {"args", 's'}};
constexpr element_info e_query_in[] = {{"qid", 'd'}, {"type", 'd'}, {"query", 's'}};
constexpr element_info e_query_out[] = {{"qid", 'd'}, {"linked_qid", 'd'}};
constexpr element_info e_marker[] = {{"text", 's'}};
constexpr element_info e_timestamp[] = {{"tv_secs", 'd'}, {"tv_nsecs", 'd'}};
constexpr element_info e_mallinfo[] = {{"arena", 'u'}, {"used", 'u'}, {"freed", 'u'}};
constexpr element_info e_symbol_alloc[] = {{"sym", 'p'}, {"flags", 'u'}, {"size", 'u'},
                                           {"name", 's'}};
constexpr element_info e_symbol_dims[] = {{"sym", 'p'},  {"nrdims", 'u'}, {"dim0", 'u'},
                                          {"dim1", 'u'}, {"dim2", 'u'},   {"dim3", 'u'}};
constexpr element_info e_dd_name[] = {{"sym", 'p'}, {"dd_name", 's'}};
constexpr element_info e_new_sym[] = {{"sym", 'p'}, {"symnr", 'd'}, {"sym_type", 'd'}};

const record_info table[] = {
    {'H', "kiv_e_hashloc", "C/C++ source location", e_hashloc},
    {'a', "kiv_e_malloc_wf", "Malloc with free", e_malloc_wf},
    {'n', "kiv_e_malloc_nf", "Malloc no free", e_malloc_nf},
    {'f', "kiv_e_free", "Free memory", e_free},
    {'r', "kiv_e_free_realloc", "Realloc memory", e_free_realloc},
    {'S', "kiv_e_sbrk", "Request heap memory", e_sbrk},
    {'G', "kiv_e_sbrk_gap", "Gaps between sbrk", e_sbrk_gap},
    {'R', "kiv_e_reserve_id", "Reserve Memory ID", e_reserve_id},
    {'c', "kiv_e_reserve_id_colors", "Color description", e_colors},
    {'F', "kiv_e_free_id", "Free malloc ID", e_id_totals},
    {'Z', "kiv_e_reset_id", "Reset malloc ID", e_id_totals},
    {'I', "kiv_e_flow_in", "3GL function entry", e_flow_in},
    {'O', "kiv_e_flow_out", "3GL function exit", {}},
    {'s', "kiv_e_schedule", "Process schedule", e_schedule},
    {'P', "kiv_e_process_start", "Start 3GL process", e_process_start},
    {'X', "kiv_e_process_end", "End 3GL process", e_process_end},
    {'B', "kiv_e_process_special_load", "Process Special Context functions", e_special},
    {'L', "kiv_e_object_load", "Load 3GL object", e_object_load},
    {'p', "kiv_e_object_link", "Link 3GL object to process", e_object_link},
    {'l', "kiv_e_object_function_load", "3GL function name", e_function},
    {'b', "kiv_e_object_global_load", "Vorex function name", e_function},
    {'i', "kiv_e_vorex_flow_in", "Vorex call flow in", e_vorex_in},
    {'o', "kiv_e_vorex_flow_out", "Vorex call flow out", e_vorex_out},
    {'Q', "kiv_e_query_in", "SQL Operation entry", e_query_in},
    {'q', "kiv_e_query_out", "SQL Operation exit", e_query_out},
    {'C', "kiv_e_marker", "User marker", e_marker},
    {'T', "kiv_e_timestamp", "Time stamp", e_timestamp},
    {'M', "kiv_e_mallinfo", "Native Malloc Information", e_mallinfo},
    {'y', "kiv_e_symbol_alloc", "3GL Symbol Storage Allocation", e_symbol_alloc},
    {'D', "kiv_e_symbol_dims", "3GL Symbol Dimenstions", e_symbol_dims},
    {'Y', "kiv_e_symbol_dd_name", "3GL Symbol Data Dictionary Type Info", e_dd_name},
    {'d', "kiv_e_symbol_new_sym", "3GL New Symbol", e_new_sym},
};

static_assert(std::size(table) == record_type_count);

}  // namespace

std::span<const record_info> header_order() { return table; }

}  // namespace kivw
