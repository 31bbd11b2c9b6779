cd chunks
lumivane --stack-rows ../all_scans0.bsl chunk_*_0.bsl
