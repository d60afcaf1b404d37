# Adjusts the code soapcpp2 generates for the tuning service, after every generation.
# Run as: cmake -DPROXY=<soapAuthenticationServiceSoapBindingProxy.cpp> -DSERIALISERS=<soapC.cpp>
#         -P fix_generated.cmake
# Each change must apply exactly where expected; when a newer soapcpp2 writes other code,
# the build stops here instead of quietly producing a client with other wire behaviour.

function(replace_once file_var old new why)
  string(FIND "${${file_var}}" "${old}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "fix_generated: '${old}' not found (${why})")
  endif()
  string(REPLACE "${old}" "${new}" replaced "${${file_var}}")
  set(${file_var} "${replaced}" PARENT_SCOPE)
endfunction()

file(READ "${PROXY}" code)

# In RPC/encoded mode the generated receive code accepts any response element (tag ""), so an
# answer for another operation would pass as a success with an empty result. Name the
# expected element: another one then fails the call with a tag mismatch.
foreach(operation testWebService validateUser)
  replace_once(code
    "soap_get_ns2__${operation}Response(soap, NULL, \"\", NULL)"
    "soap_get_ns2__${operation}Response(soap, NULL, \"ns2:${operation}Response\", NULL)"
    "response element check")
endforeach()
foreach(operation getQuorvelInfo getTuningExtensions)
  replace_once(code
    "soap_get_ns2__${operation}Response(soap, &_param_1, \"\", NULL)"
    "soap_get_ns2__${operation}Response(soap, &_param_1, \"ns2:${operation}Response\", NULL)"
    "response element check")
endforeach()

# Two items that share one buffer would be written as a multi-reference (href="#_1"), which the
# service's peers do not read: always write each item in place.
replace_once(code
  "soap_omode(this, omode);"
  "soap_omode(this, omode | SOAP_XML_TREE);"
  "items written in place")

file(WRITE "${PROXY}" "${code}")

# The readers of the two array pointers (the "params" of a request, the result of
# getQuorvelInfo) drop the expected type before reading the array, so an array of another
# item type (say xsd:int[17]) would be taken for strings. Pass the expected type on: the
# array reader then refuses another item type with a type error, as it does for inner arrays.
file(READ "${SERIALISERS}" serialisers)
string(REGEX MATCHALL "\\(\\*a\\)->soap_in\\(soap, tag, NULL\\)" readers "${serialisers}")
list(LENGTH readers reader_count)
if(NOT reader_count EQUAL 2)
  message(FATAL_ERROR "fix_generated: expected 2 array pointer readers, found ${reader_count}")
endif()
string(REPLACE "(*a)->soap_in(soap, tag, NULL)" "(*a)->soap_in(soap, tag, type)" serialisers "${serialisers}")
file(WRITE "${SERIALISERS}" "${serialisers}")
