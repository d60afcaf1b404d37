// A one-operation SOAP service used only to drive the transport through the real SOAP layer.
//gsoap ns service name: Probe
//gsoap ns service namespace: urn:pelloran-probe
//gsoap ns service style: rpc
//gsoap ns service encoding: encoded
//gsoap ns service method-action: ping ""
int ns__ping(char *text, char **_pingReturn);
