// placeholder to prove the pipeline
int qv_placeholder() { return 1; }
