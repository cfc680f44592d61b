INSERT INTO track_locations VALUES(1,'/tmp/mixxxhome.xd31/Music/Künstler - Lied.wav','Künstler - Lied.wav','/tmp/mixxxhome.xd31/Music',352844,0,0);
INSERT INTO library VALUES(1,'Künstler','Lied',NULL,NULL,NULL,NULL,1,NULL,NULL,2.0,1411,44100,0,0.0,NULL,2,'2026-12-07T14:42:10.552Z',0,0,1,'wav',0.0,0,0,NULL,NULL,NULL,NULL,0,NULL,NULL,NULL,NULL,0,NULL,NULL,1,0,NULL,0,-1.0,NULL,NULL);
